#include "local_contrast/summed_area_table.hpp"

#include <algorithm>
#include <string>

#include "error/internal_failure.hpp"
#include "local_contrast/table_sweep.hpp"

namespace velkor {
namespace {

[[noreturn]] void unreadable(std::size_t y, std::size_t x, const SummedAreaTable& table) {
    internal_failure("summed-area table read at (" + std::to_string(y) + ", " + std::to_string(x) +
                     ") outside its " + std::to_string(table.built_rows()) + " built of " +
                     std::to_string(table.rows()) + " x " + std::to_string(table.cols()) +
                     " entries, " + std::to_string(table.kept_rows()) + " rows kept");
}

}  // namespace

SummedAreaTable::SummedAreaTable(std::size_t rows, std::size_t cols, std::size_t kept_rows)
    : rows_(rows), cols_(cols), kept_(std::clamp<std::size_t>(kept_rows, 1, rows == 0 ? 1 : rows)) {
    std::size_t count = 0;
    if (__builtin_mul_overflow(kept_, cols, &count)) throw std::bad_alloc();
    // Every entry is written before it is read, so the storage is not cleared.
    entries_ = Buffer<double>::uninitialized(rows == 0 ? 0 : count);
}

std::size_t SummedAreaTable::check_col(std::size_t x) const {
    if (x >= cols_) unreadable(rows_, x, *this);
    return x;
}

const double* SummedAreaTable::row(std::size_t y) const {
    if (y >= built_ || built_ - y > kept_) unreadable(y, 0, *this);
    return entries_.data() + (y % kept_) * cols_;
}

TableRows SummedAreaTable::rows_for_reading(std::size_t first, std::size_t end,
                                            std::size_t built_meanwhile) const {
    if (first > end || end > built_ || built_meanwhile < built_ || built_meanwhile > rows_ ||
        (first < end && built_meanwhile - first > kept_)) {
        internal_failure("summed-area table rows [" + std::to_string(first) + ", " + std::to_string(end) +
                         ") cannot be read while building to " + std::to_string(built_meanwhile) +
                         " from " + std::to_string(built_) + " with " + std::to_string(kept_) + " kept");
    }
    return TableRows(entries_.data(), rows_, cols_, kept_, first, end);
}

const double* TableRows::row(std::size_t y) const {
    if (y < first_ || y >= end_) {
        internal_failure("summed-area table row " + std::to_string(y) + " outside the readable rows [" +
                         std::to_string(first_) + ", " + std::to_string(end_) + ")");
    }
    return entries_ + (y % kept_) * cols_;
}

double* SummedAreaTable::row_to_build(std::size_t y) {
    // The row above the oldest one being built must survive the band.
    if (y < built_ || y >= rows_ || (kept_ < rows_ && y - built_ + 2 > kept_)) {
        internal_failure("summed-area table row " + std::to_string(y) + " cannot be built after " +
                         std::to_string(built_) + " rows with " + std::to_string(kept_) + " kept");
    }
    return entries_.data() + (y % kept_) * cols_;
}

void SummedAreaTable::finish_rows(std::size_t built_rows) {
    if (built_rows < built_ || built_rows > rows_) internal_failure("summed-area table finish_rows");
    built_ = built_rows;
}

SummedAreaTable sat(const PlaneView& plane) {
    SummedAreaTable table(plane.rows, plane.cols, plane.rows);
    table_sweep::TableBuilder<1> builder({&table});
    builder.extend_to(plane.rows, table_sweep::PlaneSource{plane});
    return table;
}

WindowSum window_sum(const SummedAreaTable& table, std::size_t y, std::size_t x, std::size_t r,
                     std::size_t h, std::size_t w) {
    // Outside these preconditions the clipping below would wrap around.
    if (y >= h || x >= w) {
        internal_failure("window_sum: centre (" + std::to_string(y) + ", " + std::to_string(x) +
                         ") outside the " + std::to_string(h) + " x " + std::to_string(w) + " image");
    }
    const WindowSpan rows = clip_window(y, r, h);
    const WindowSpan cols = clip_window(x, r, w);
    const bool has_top = rows.first > 0, has_left = cols.first > 0;
    const double total = table.at(rows.last, cols.last);
    const double top = has_top ? table.at(rows.first - 1, cols.last) : 0.0;
    const double left = has_left ? table.at(rows.last, cols.first - 1) : 0.0;
    const double corner = has_top && has_left ? table.at(rows.first - 1, cols.first - 1) : 0.0;
    const double sum = corner + ((total - top) - left);
    const std::size_t count = (rows.last - rows.first + 1) * (cols.last - cols.first + 1);
    return {sum, static_cast<double>(count)};
}

}  // namespace velkor
