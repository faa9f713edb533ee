#pragma once
#include <cstddef>

#include "image/image.hpp"

namespace velkor {

// The He-Sun-Tang guided filter of a plane guided by itself, with windows of
// radius r clipped at the borders and regularisation eps.  Returns the
// filtered plane as an owned (H, W, 1) image.
//
// The arithmetic is a fixed sequence of double-precision operations, so the
// result is the same bit for bit for any thread count:
//   mean = s1 / n;  variance = s2 / n - mean * mean;
//   a = variance / (eps + variance), or 0 when eps + variance is not > 0;
//   b = mean * (1 - a);  both rounded to single precision;
//   q = (ta / n) * L + (tb / n), rounded to single precision,
// where s1, s2, ta, tb are window sums of L, L*L (in single precision), a
// and b, and n the window's pixel count.
OwnedImage guided_filter(const PlaneView& luminance, std::size_t r, double eps);

// The same filter, streaming down the image in bands of about `band_rows`
// rows (rounded up to a whole multiple of the table builder's band).  The
// band height changes nothing in the result; the overload lets tests prove it.
OwnedImage guided_filter(const PlaneView& luminance, std::size_t r, double eps,
                         std::size_t band_rows);

// Positions [first, end) along one axis (rows or columns) of the filter of
// an image `extent` positions long, for printing it a piece at a time.
// Their windows reach the coefficients of positions [fit_first(),
// fit_end()), whose windows reach the positions of L from luminance_first()
// to luminance_end().
struct FilterSpan {
    std::size_t extent = 0, first = 0, end = 0, r = 0;

    std::size_t fit_first() const { return first > r ? first - r : 0; }
    std::size_t fit_end() const { return r >= extent - end ? extent : end + r; }
    std::size_t luminance_first() const { return fit_first() > r ? fit_first() - r : 0; }
    std::size_t luminance_end() const { return r >= extent - fit_end() ? extent : fit_end() + r; }
    std::size_t count() const { return end - first; }
    // The same positions of the filter of the whole image: the four tables
    // start at position 0, and nothing is carried in or out.
    static FilterSpan whole(std::size_t extent, std::size_t r) { return {extent, 0, extent, r}; }
};

// A piece of the filter: some rows, some columns.
struct FilterPiece {
    FilterSpan rows, columns;
};

// A summed-area table is a running sum down and across: its rounding
// depends on the row and the column it starts at.  A piece therefore
// continues the tables of the pieces above and to its left.
//
// From above: one row of each table, carried in `kTableCarryRows` rows of
// the image's width: the tables of L and of L*L at row luminance_first() - 1,
// and of a and of b at row fit_first() - 1 (rows a piece starting at row 0
// does not read).  A piece fills `next` with the same rows for the piece
// below, for its own columns [first, end) only.
//
// From the left: one column of each table over the rows the piece builds,
// column luminance_first() - 1 of the tables of L and L*L over the piece's
// luminance rows, then column fit_first() - 1 of the tables of a and b over
// its fit rows (left_carry_size() doubles).  A piece fills `next_left` with
// the columns the piece starting at its end needs.
inline constexpr std::size_t kTableCarryRows = 4;

inline std::size_t left_carry_size(const FilterSpan& rows) {
    return 2 * (rows.luminance_end() - rows.luminance_first()) + 2 * (rows.fit_end() - rows.fit_first());
}

struct FilterCarry {
    const double* above = nullptr;  // kTableCarryRows x columns.extent, or null at the top
    double* next = nullptr;         // kTableCarryRows x columns.count()
    const double* left = nullptr;   // left_carry_size(rows), or null at the left edge
    double* next_left = nullptr;    // left_carry_size(rows), or null at the right edge
};

// Rows and columns of guided_filter(whole plane), bit for bit, from
// `luminance`: the rows and columns of the piece's luminance_first() to
// luminance_end(), and what the pieces above and to the left carried.
OwnedImage guided_filter_piece(const PlaneView& luminance, const FilterPiece& piece, double eps,
                               const FilterCarry& carry);

}  // namespace velkor
