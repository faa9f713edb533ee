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

// Rows [first, end) of the filter of an image `height` rows tall, for
// printing it a band at a time.  Their windows reach the coefficients of
// rows [fit_first(), fit_end()), whose windows reach the rows of L from
// luminance_first() to luminance_end().
struct FilterRows {
    std::size_t height = 0, first = 0, end = 0, r = 0;

    std::size_t fit_first() const { return first > r ? first - r : 0; }
    std::size_t fit_end() const { return r >= height - end ? height : end + r; }
    std::size_t luminance_first() const { return fit_first() > r ? fit_first() - r : 0; }
    std::size_t luminance_end() const { return r >= height - fit_end() ? height : fit_end() + r; }
    // The same rows of the filter of the whole image: the four tables start
    // at row 0, and nothing is carried in or out.
    static FilterRows whole(std::size_t height, std::size_t r) { return {height, 0, height, r}; }
};

// A summed-area table is a running sum: its rounding depends on the row it
// starts at.  A band therefore continues the tables of the band above from
// one row of each, carried in `kTableCarryRows` rows of cols doubles: the
// table of L and of L*L at row luminance_first() - 1, and of a and of b at
// row fit_first() - 1 (rows a band starting at row 0 does not read).
inline constexpr std::size_t kTableCarryRows = 4;

// Rows span.first to span.end of guided_filter(whole plane), bit for bit,
// from `luminance`, its rows span.luminance_first() to luminance_end(), and
// `carried` from the band above.  Fills `next` with what the band starting
// at span.end needs carried.
OwnedImage guided_filter_rows(const PlaneView& luminance, const FilterRows& span, double eps,
                              const double* carried, double* next);

}  // namespace velkor
