#pragma once
// Summed-area tables: every box mean of the guided filter costs four table
// reads, whatever the radius.
//
// S[y][x] is the sum of the plane over rows 0..y and columns 0..x, built by
// the recurrence S[y][x] = ((v + S[y-1][x]) + S[y][x-1]) - S[y-1][x-1] in
// double precision, exactly in that order, with +0.0 for entries outside the
// table.  There is no padding row or column: the table is H x W.
#include <cstddef>
#include <utility>

#include "image/buffer.hpp"
#include "image/image.hpp"

namespace velkor {

class SummedAreaTable {
public:
    SummedAreaTable() = default;
    SummedAreaTable(Buffer<double> entries, std::size_t rows, std::size_t cols)
        : entries_(std::move(entries)), rows_(rows), cols_(cols) {}

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }

    // Checked: a read outside the table takes the internal-failure path.
    double at(std::size_t y, std::size_t x) const;
    // Checked row start, for loops that have already checked their columns.
    const double* row(std::size_t y) const;

    double* data() { return entries_.data(); }
    const double* data() const { return entries_.data(); }

private:
    Buffer<double> entries_;
    std::size_t rows_ = 0, cols_ = 0;
};

// The table of one plane, read through the plane's own steps.
SummedAreaTable sat(const PlaneView& plane);

// The tables of a plane and of its element-wise single-precision square,
// built in one pass; equal bit for bit to sat(plane) and sat of the squares.
struct TablePair {
    SummedAreaTable first, second;
};
TablePair sat_of_plane_and_square(const PlaneView& plane);

// The tables of two planes of the same size, built in one pass; equal bit for
// bit to sat(first) and sat(second).
TablePair sat_pair(const PlaneView& first, const PlaneView& second);

// The positions [first, last] that a window of radius r around `centre`
// covers on an axis of `extent` positions, centre < extent.  Written so that
// no radius, however large, overflows.
struct WindowSpan {
    std::size_t first, last;
};
inline WindowSpan clip_window(std::size_t centre, std::size_t r, std::size_t extent) {
    const std::size_t first = centre >= r ? centre - r : 0;
    const std::size_t last = r >= extent - 1 - centre ? extent - 1 : centre + r;
    return {first, last};
}

// Sum and pixel count of the (2r+1) x (2r+1) window centred on (y, x),
// clipped at the borders of an h x w image whose table is `table`.
struct WindowSum {
    double sum;
    double count;
};
WindowSum window_sum(const SummedAreaTable& table, std::size_t y, std::size_t x,
                     std::size_t r, std::size_t h, std::size_t w);

}  // namespace velkor
