#include "local_contrast/summed_area_table.hpp"

#include <array>
#include <string>

#include "error/internal_failure.hpp"
#include "local_contrast/table_sweep.hpp"

namespace velkor {
namespace {

// Four rows per band and table keeps eight chains of additions in flight,
// enough to cover the adder's latency, while the band's state still fits in
// the sixteen vector registers of x86-64.
constexpr std::size_t kRowsPerBandOfPairs = 4;
constexpr std::size_t kRowsPerBandOfOne = 8;

[[noreturn]] void read_outside(std::size_t y, std::size_t x, std::size_t rows, std::size_t cols) {
    internal_failure("summed-area table read at (" + std::to_string(y) + ", " + std::to_string(x) +
                     ") outside its " + std::to_string(rows) + " x " + std::to_string(cols) +
                     " entries");
}

struct StridedRow {
    const float* start;
    std::ptrdiff_t step;
    float operator[](std::size_t x) const { return start[static_cast<std::ptrdiff_t>(x) * step]; }
};

StridedRow plane_row(const PlaneView& plane, std::size_t y) { return {plane.row(y), plane.col_step}; }

struct PlaneSource {
    PlaneView plane;
    struct Row {
        StridedRow values_row;
        std::array<double, 1> values(std::size_t x) const { return {values_row[x]}; }
    };
    Row row(std::size_t y) const { return {plane_row(plane, y)}; }
};

struct PlaneAndSquareSource {
    PlaneView plane;
    struct Row {
        StridedRow values_row;
        std::array<double, 2> values(std::size_t x) const {
            const float v = values_row[x];
            const float square = v * v;  // rounded to single, as the squared plane holds it
            return {v, square};
        }
    };
    Row row(std::size_t y) const { return {plane_row(plane, y)}; }
};

struct TwoPlaneSource {
    PlaneView first, second;
    struct Row {
        StridedRow first_row, second_row;
        std::array<double, 2> values(std::size_t x) const { return {first_row[x], second_row[x]}; }
    };
    Row row(std::size_t y) const { return {plane_row(first, y), plane_row(second, y)}; }
};

// Every entry is written by the sweep, so the storage need not be cleared.
SummedAreaTable empty_table(std::size_t rows, std::size_t cols) {
    std::size_t count = 0;
    if (__builtin_mul_overflow(rows, cols, &count)) throw std::bad_alloc();
    return SummedAreaTable(Buffer<double>::uninitialized(count), rows, cols);
}

template <std::size_t K, class Source>
TablePair build_pair(const Source& source, std::size_t rows, std::size_t cols) {
    TablePair pair{empty_table(rows, cols), empty_table(rows, cols)};
    table_sweep::sweep<K, 2>(source, {pair.first.data(), pair.second.data()}, rows, cols);
    return pair;
}

}  // namespace

double SummedAreaTable::at(std::size_t y, std::size_t x) const {
    if (y >= rows_ || x >= cols_) read_outside(y, x, rows_, cols_);
    return entries_[y * cols_ + x];
}

const double* SummedAreaTable::row(std::size_t y) const {
    if (y >= rows_) read_outside(y, 0, rows_, cols_);
    return entries_.data() + y * cols_;
}

SummedAreaTable sat(const PlaneView& plane) {
    SummedAreaTable table = empty_table(plane.rows, plane.cols);
    table_sweep::sweep<kRowsPerBandOfOne, 1>(PlaneSource{plane}, {table.data()}, plane.rows,
                                             plane.cols);
    return table;
}

TablePair sat_of_plane_and_square(const PlaneView& plane) {
    return build_pair<kRowsPerBandOfPairs>(PlaneAndSquareSource{plane}, plane.rows, plane.cols);
}

TablePair sat_pair(const PlaneView& first, const PlaneView& second) {
    if (first.rows != second.rows || first.cols != second.cols) {
        internal_failure("sat_pair: planes of different sizes");
    }
    return build_pair<kRowsPerBandOfPairs>(TwoPlaneSource{first, second}, first.rows, first.cols);
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
