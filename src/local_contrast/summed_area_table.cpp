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
    if (y < oldest_ || y >= built_ || built_ - y > kept_) unreadable(y, 0, *this);
    return entries_.data() + (y % kept_) * cols_;
}

TableRows SummedAreaTable::rows_for_reading(std::size_t first, std::size_t end,
                                            std::size_t built_meanwhile) const {
    if (first > end || (first < end && first < oldest_) || end > built_ || built_meanwhile < built_ ||
        built_meanwhile > rows_ ||
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

void SummedAreaTable::start_after(std::size_t first_row, const double* carried) {
    if (built_ != 0 || first_row == 0 || first_row >= rows_) internal_failure("summed-area table start_after");
    std::copy(carried, carried + cols_, entries_.data() + (first_row - 1) % kept_ * cols_);
    built_ = first_row;
    oldest_ = first_row - 1;
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

}  // namespace velkor
