#pragma once
// Window sums of two summed-area tables along one row of the image, for the
// guided filter's two window passes.
//
// Each sum takes the same four entries and the same three operations as
// window_sum, so the results are identical; what changes is where the checks
// happen.  The rows are checked once per image row and the columns once per
// run of pixels, and columns run four at a time in vectors: those whose
// window is clipped on neither side, and, where such columns exist, those
// clipped on one side (at radius 256, a twelfth of a 6000-pixel row).
#include <algorithm>
#include <cstddef>
#include <utility>

#include "error/internal_failure.hpp"
#include "local_contrast/lanes.hpp"
#include "local_contrast/summed_area_table.hpp"

namespace velkor {

class RowWindows {
public:
    // Windows of radius r centred on row y of an image `width` columns wide,
    // whose tables hold the columns from `first_col` on.  `zero_row` holds
    // at least as many zeros as the tables have columns: the entries above
    // row 0.
    RowWindows(const TableRows& a, const TableRows& b, const double* zero_row, std::size_t y,
               std::size_t r, std::size_t width, std::size_t first_col)
        : r_(r), cols_(width), first_(first_col), table_cols_(a.cols()) {
        if (a.rows() != b.rows() || a.cols() != b.cols()) {
            internal_failure("RowWindows: tables of different sizes");
        }
        if (y >= a.rows()) internal_failure("RowWindows: row outside the tables");
        const WindowSpan rows = clip_window(y, r, a.rows());
        last_a_ = a.row(rows.last);
        last_b_ = b.row(rows.last);
        top_a_ = rows.first > 0 ? a.row(rows.first - 1) : zero_row;
        top_b_ = rows.first > 0 ? b.row(rows.first - 1) : zero_row;
        row_count_ = rows.last - rows.first + 1;
    }

    // The table rows that the windows of image rows [first, end) read.
    static std::pair<std::size_t, std::size_t> table_rows(std::size_t first, std::size_t end,
                                                          std::size_t r, std::size_t rows) {
        if (first >= end) return {first, first};
        const std::size_t top = first > r ? first - r - 1 : 0;
        const std::size_t bottom = r >= rows - end ? rows : end + r;
        return {top, bottom};
    }

    std::size_t cols() const { return cols_; }

    // Calls body(i, sum of a, sum of b, pixel count) for the image's columns
    // x = begin + i in [begin, end): with doubles for one pixel at x, or with
    // lanes::Double4 for the four pixels from x on.  Always inlined, so that
    // it takes the instruction set of its caller.
    template <class Body>
    [[gnu::always_inline]] void for_each(std::size_t begin, std::size_t end, Body&& given_body) const {
        if (begin > end || end > cols_) internal_failure("RowWindows: columns outside the image");
        if (begin < end) check_reach(begin, end);
        auto body = [&](std::size_t x, const auto& s1, const auto& s2, const auto& n) {
            given_body(x - begin, s1, s2, n);
        };
        // Unclipped columns: r < x and x + r < cols, that is [r + 1, cols - r).
        if (r_ >= cols_ || r_ + 1 >= cols_ - r_) {
            // None (a radius near the width): a window may be clipped on both
            // sides, one column at a time.
            for (std::size_t x = begin; x < end; ++x) clipped(x, body);
            return;
        }
        const std::size_t inner_begin = std::clamp(r_ + 1, begin, end);
        const std::size_t inner_end = std::clamp(cols_ - r_, inner_begin, end);
        left_clipped(begin, inner_begin, body);
        unclipped(inner_begin, inner_end, body);
        right_clipped(inner_end, end, body);
    }

private:
    // The windows of columns [begin, end) read table columns from the one
    // left of the first window to the last window's end; the tables must
    // hold them.  (A window that starts at column 0 reads nothing to its
    // left, and then the tables start at column 0.)
    void check_reach(std::size_t begin, std::size_t end) const {
        const std::size_t lowest = begin > r_ ? begin - r_ - 1 : 0;
        const std::size_t highest = r_ >= cols_ - end ? cols_ - 1 : end - 1 + r_;
        if (lowest < first_ || highest - first_ >= table_cols_) {
            internal_failure("RowWindows: windows reach columns outside the tables");
        }
    }

    template <class Body>
    [[gnu::always_inline]] void clipped(std::size_t x, Body& body) const {
        const WindowSpan cols = clip_window(x, r_, cols_);
        const bool has_left = cols.first > 0;
        const std::size_t l = has_left ? cols.first - 1 - first_ : 0;
        const double sum_a = window(last_a_, top_a_, has_left, l, cols.last - first_);
        const double sum_b = window(last_b_, top_b_, has_left, l, cols.last - first_);
        const std::size_t count = row_count_ * (cols.last - cols.first + 1);
        body(x, sum_a, sum_b, static_cast<double>(count));
    }

    [[gnu::always_inline]] static double window(const double* last, const double* top, bool has_left, std::size_t l,
                         std::size_t x1) {
        const double total = last[x1];
        const double above = top[x1];
        const double left = has_left ? last[l] : 0.0;
        const double corner = has_left ? top[l] : 0.0;
        return corner + ((total - above) - left);
    }

    // Columns x <= r, when some column is unclipped: the window starts at
    // column 0 (nothing to its left; the entries there count as +0.0) and
    // ends at x + r, before the last column.  Four at a time, then one.
    template <class Body>
    [[gnu::always_inline]] void left_clipped(std::size_t begin, std::size_t end, Body& body) const {
        const lanes::Double4 zero = {};
        std::size_t x = begin;
        for (; end - x >= lanes::kWidth; x += lanes::kWidth) {
            const std::size_t x1 = x + r_;  // the tables start at column 0 here
            using lanes::load4;
            const lanes::Double4 sum_a = zero + ((load4(last_a_ + x1) - load4(top_a_ + x1)) - zero);
            const lanes::Double4 sum_b = zero + ((load4(last_b_ + x1) - load4(top_b_ + x1)) - zero);
            body(x, sum_a, sum_b, counts(x1 + 1, 1));
        }
        for (; x < end; ++x) clipped(x, body);
    }

    // Columns x >= cols - r, when some column is unclipped: the window ends
    // at the last column and has columns to its left.
    template <class Body>
    [[gnu::always_inline]] void right_clipped(std::size_t begin, std::size_t end, Body& body) const {
        if (begin == end) return;  // a piece short of the right edge holds no last column to read
        const std::size_t x1 = cols_ - 1 - first_;
        const lanes::Double4 total_a = lanes::splat(last_a_[x1]), above_a = lanes::splat(top_a_[x1]);
        const lanes::Double4 total_b = lanes::splat(last_b_[x1]), above_b = lanes::splat(top_b_[x1]);
        std::size_t x = begin;
        for (; end - x >= lanes::kWidth; x += lanes::kWidth) {
            const std::size_t l = x - r_ - 1 - first_;
            using lanes::load4;
            const lanes::Double4 sum_a = load4(top_a_ + l) + ((total_a - above_a) - load4(last_a_ + l));
            const lanes::Double4 sum_b = load4(top_b_ + l) + ((total_b - above_b) - load4(last_b_ + l));
            body(x, sum_a, sum_b, counts(x1 - l, -1));
        }
        for (; x < end; ++x) clipped(x, body);
    }

    // Pixel counts of four windows whose widths are `width`, `width + step`, ...
    [[gnu::always_inline]] lanes::Double4 counts(std::size_t width, std::ptrdiff_t step) const {
        lanes::Double4 n;
        for (std::size_t i = 0; i < lanes::kWidth; ++i) {
            const std::size_t w = width + static_cast<std::size_t>(step * static_cast<std::ptrdiff_t>(i));
            n[i] = static_cast<double>(row_count_ * w);
        }
        return n;
    }

    // Four pixels per step as long as four remain, then one.  The window
    // sum is the same expression in both forms.
    template <class Body>
    [[gnu::always_inline]] void unclipped(std::size_t begin, std::size_t end, Body& body) const {
        const std::size_t r = r_, first = first_;
        const double *last_a = last_a_, *top_a = top_a_, *last_b = last_b_, *top_b = top_b_;
        const double count = static_cast<double>(row_count_ * (2 * r + 1));
        const lanes::Double4 counts = {count, count, count, count};
        std::size_t x = begin;
        for (; end - x >= lanes::kWidth; x += lanes::kWidth) {
            const std::size_t x1 = x + r - first, l = x - r - 1 - first;
            using lanes::load4;
            const lanes::Double4 sum_a = load4(top_a + l) + ((load4(last_a + x1) - load4(top_a + x1)) - load4(last_a + l));
            const lanes::Double4 sum_b = load4(top_b + l) + ((load4(last_b + x1) - load4(top_b + x1)) - load4(last_b + l));
            body(x, sum_a, sum_b, counts);
        }
        for (; x < end; ++x) {
            const std::size_t x1 = x + r - first, l = x - r - 1 - first;
            const double sum_a = top_a[l] + ((last_a[x1] - top_a[x1]) - last_a[l]);
            const double sum_b = top_b[l] + ((last_b[x1] - top_b[x1]) - last_b[l]);
            body(x, sum_a, sum_b, count);
        }
    }

    std::size_t r_, cols_, first_, table_cols_;
    std::size_t row_count_ = 0;
    const double *last_a_ = nullptr, *top_a_ = nullptr, *last_b_ = nullptr, *top_b_ = nullptr;
};

}  // namespace velkor
