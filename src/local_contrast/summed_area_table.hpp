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

class TableRows;

// A table is built top to bottom.  It may keep only its newest rows: the
// guided filter reads rows at most about 2r apart, so it streams through the
// image with a few hundred rows of each table instead of all of them, which
// spares most of the memory (and the page faults of touching it the first
// time).
class SummedAreaTable {
public:
    SummedAreaTable() = default;
    // An unbuilt rows x cols table that keeps its newest `kept_rows` rows,
    // clamped to [1, rows].
    SummedAreaTable(std::size_t rows, std::size_t cols, std::size_t kept_rows);

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    std::size_t kept_rows() const { return kept_; }
    // Rows [0, built_rows()) have been written; the newest kept_rows() of
    // them can be read.
    std::size_t built_rows() const { return built_; }

    // Checked: a read of an entry outside the table, not yet built or no
    // longer kept takes the internal-failure path.
    double at(std::size_t y, std::size_t x) const { return row(y)[check_col(x)]; }
    const double* row(std::size_t y) const;

    // Rows [first, end) for readers on other threads while this table's
    // builder goes on up to row `built_meanwhile`.  Checked now: the rows are
    // built and none of them will be displaced before that point.
    TableRows rows_for_reading(std::size_t first, std::size_t end, std::size_t built_meanwhile) const;

    // A table of the rows from `first_row` down, for a band of a taller
    // image: row first_row - 1, which the first built row adds to, is
    // `carried` (cols() entries) as the table of the rows above left it, so
    // every later entry is the one the table from row 0 would hold.
    void start_after(std::size_t first_row, const double* carried);

    // For the builder: storage for row y, which must be among the next rows
    // to build and must not displace a row the builder still reads.
    double* row_to_build(std::size_t y);
    void finish_rows(std::size_t built_rows);

private:
    std::size_t check_col(std::size_t x) const;

    Buffer<double> entries_;
    std::size_t rows_ = 0, cols_ = 0, kept_ = 0, built_ = 0;
    std::size_t oldest_ = 0;  // rows above it were never held
};

// A read-only window on some rows of a table, fixed when it is made, so that
// reading it never touches the table's changing build state.
class TableRows {
public:
    TableRows() = default;
    TableRows(const double* entries, std::size_t rows, std::size_t cols, std::size_t kept,
              std::size_t first, std::size_t end)
        : entries_(entries), rows_(rows), cols_(cols), kept_(kept), first_(first), end_(end) {}

    std::size_t rows() const { return rows_; }  // of the whole table
    std::size_t cols() const { return cols_; }
    // Checked: a row outside [first, end) takes the internal-failure path.
    const double* row(std::size_t y) const;

private:
    const double* entries_ = nullptr;
    std::size_t rows_ = 0, cols_ = 0, kept_ = 1, first_ = 0, end_ = 0;
};

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

}  // namespace velkor
