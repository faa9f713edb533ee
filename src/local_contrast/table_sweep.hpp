#pragma once
// Builds summed-area tables several rows at a time, bit for bit as the plain
// row-major recurrence does.
//
// Along a row, each entry waits for its left neighbour through two dependent
// additions, so a row-at-a-time build runs at the adder's latency instead of
// its throughput.  Entry (y, x) only needs (y-1, x), (y, x-1) and (y-1, x-1),
// so K rows can advance together on a skewed front: at step t, row j of the
// band works on column t - j, one column behind the row above it.  Every
// entry is still ((v + above) + left) - diagonal on the same operands, so the
// table is identical, while K rows times N tables give independent chains
// that keep the adders busy.  The values a row needs from its upper
// neighbour were produced one step earlier and stay in registers.
#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "image/buffer.hpp"
#include "image/image.hpp"
#include "local_contrast/summed_area_table.hpp"

namespace velkor::table_sweep {

// The N tables of a sweep advance together in the lanes of one value: a
// double for one table, a pair of doubles in one SSE2 register for two, so
// that each addition serves both tables.  Lanes never mix.
typedef double Double2 __attribute__((vector_size(16)));
template <std::size_t N>
using Pack = std::conditional_t<N == 1, double, Double2>;

template <std::size_t N>
Pack<N> gather(const std::array<const double*, N>& rows, std::size_t x) {
    if constexpr (N == 1) return rows[0][x];
    else return Pack<N>{rows[0][x], rows[1][x]};
}

template <std::size_t N>
void scatter(const std::array<double*, N>& rows, std::size_t x, Pack<N> v) {
    if constexpr (N == 1) {
        rows[0][x] = v;
    } else {
        rows[0][x] = v[0];
        rows[1][x] = v[1];
    }
}

// A table that continues one built beside it, to its left: its column 0 is
// that table's column, given for every row it builds (`values[i]` for table
// i, indexed by row - first_row), and the sweep starts at column 1.
template <std::size_t N>
struct LeftColumn {
    std::array<const double*, N> values{};
    std::size_t first_row = 0;
    bool given() const { return values[0] != nullptr; }
    Pack<N> at(std::size_t y) const {
        std::array<const double*, N> rows;
        for (std::size_t i = 0; i < N; ++i) rows[i] = values[i] + (y - first_row);
        return gather<N>(rows, 0);
    }
};

// A Source describes N planes of equal size read together: `row(y)` returns
// a reader whose `values(x)` gives the planes' values at (y, x), widened to
// double, as a Pack<N>; x counts from the first column the sweep computes
// (column 1 of the table where a left column is given, else column 0).
template <std::size_t K, std::size_t N, class Source>
void sweep_band(const Source& source, const std::array<std::array<double*, N>, K>& out,
                const std::array<const double*, N>& above_row, std::size_t y_begin,
                std::size_t cols, const LeftColumn<N>& left_column) {
    using Row = decltype(source.row(0));
    const std::array<Row, K> rows = [&]<std::size_t... J>(std::index_sequence<J...>) {
        return std::array<Row, K>{source.row(y_begin + J)...};
    }(std::make_index_sequence<K>{});
    // Per band row: the entry to the left, and the one above-left.  Both
    // start as +0.0, which is what column 0 takes for its absent terms, or
    // as the given column's entries, which then are column 0.
    Pack<N> left[K] = {};
    Pack<N> diagonal[K] = {};
    const std::size_t first = left_column.given() ? 1 : 0;
    if (first == 1 && cols > 0) {
        for (std::size_t j = 0; j < K; ++j) {
            left[j] = left_column.at(y_begin + j);
            diagonal[j] = j == 0 ? gather<N>(above_row, 0) : left_column.at(y_begin + j - 1);
            scatter<N>(out[j], 0, left[j]);
        }
    }
    auto advance = [&](std::size_t j, std::size_t x) {
        const std::size_t column = x + first;
        const Pack<N> v = rows[j].values(x);
        // Row j-1 produced (y-1, x) on the previous step and has not yet
        // moved on, because rows advance from the bottom of the band up.
        const Pack<N> above = j == 0 ? gather<N>(above_row, column) : left[j - 1];
        const Pack<N> s = ((v + above) + left[j]) - diagonal[j];
        scatter<N>(out[j], column, s);
        left[j] = s;
        diagonal[j] = above;
    };
    const std::size_t computed = cols > first ? cols - first : 0;
    auto step = [&]<bool kEdge>(std::size_t t) {
        [&]<std::size_t... J>(std::index_sequence<J...>) {
            auto one = [&](std::size_t j) {
                if (!kEdge || (t >= j && t - j < computed)) advance(j, t - j);
            };
            (one(K - 1 - J), ...);
        }(std::make_index_sequence<K>{});
    };
    // Steps [K-1, computed) have every row of the band inside the table.
    const std::size_t steps = computed + K - 1;
    std::size_t t = 0;
    for (; t < K - 1 && t < steps; ++t) step.template operator()<true>(t);
    for (; t < computed; ++t) step.template operator()<false>(t);
    for (; t < steps; ++t) step.template operator()<true>(t);
}

// One column of N tables copied out as rows are built, for the table that
// continues them to the right (`values[i]` indexed by row - first_row).
template <std::size_t N>
struct ColumnTap {
    std::array<double*, N> values{};
    std::size_t first_row = 0, column = 0;
    bool wanted() const { return values[0] != nullptr; }
};

// Builds N tables of equal size together, top to bottom, as far as asked.
template <std::size_t N>
class TableBuilder {
public:
    // Rows per band: enough independent chains of additions to cover the
    // adder's latency, few enough that the band's state (two values per row)
    // stays in the sixteen vector registers of x86-64.  Measured on Zen 3:
    // 3 to 4 rows of pairs are best, 2 and 6 are 15-20% slower.
    static constexpr std::size_t kBandRows = N == 1 ? 8 : 4;

    explicit TableBuilder(const std::array<SummedAreaTable*, N>& tables, LeftColumn<N> left = {},
                          ColumnTap<N> tap = {})
        : tables_(tables), zeros_(Buffer<double>::zeroed(tables[0]->cols())), left_(left), tap_(tap) {}

    std::size_t built_rows() const { return tables_[0]->built_rows(); }

    // Builds rows [built_rows(), row_end) from `source`.  Bands start where
    // the last one ended, so callers that ask for multiples of kBandRows
    // never take the slow path of single rows.
    template <class Source>
    void extend_to(std::size_t row_end, const Source& source) {
        const std::size_t cols = tables_[0]->cols();
        std::size_t y = built_rows();
        if (cols == 0) {  // nothing to compute, but the rows count as built
            for (SummedAreaTable* table : tables_) table->finish_rows(row_end);
            return;
        }
        for (; y + kBandRows <= row_end; y += kBandRows) build<kBandRows>(source, y, cols);
        for (; y < row_end; ++y) build<1>(source, y, cols);
    }

private:
    template <std::size_t K, class Source>
    void build(const Source& source, std::size_t y, std::size_t cols) {
        std::array<std::array<double*, N>, K> out;
        std::array<const double*, N> above;
        for (std::size_t i = 0; i < N; ++i) {
            above[i] = y == 0 ? zeros_.data() : tables_[i]->row(y - 1);
            for (std::size_t j = 0; j < K; ++j) out[j][i] = tables_[i]->row_to_build(y + j);
        }
        sweep_band<K>(source, out, above, y, cols, left_);
        if (tap_.wanted()) {
            for (std::size_t j = 0; j < K; ++j) {
                for (std::size_t i = 0; i < N; ++i) tap_.values[i][y + j - tap_.first_row] = out[j][i][tap_.column];
            }
        }
        for (SummedAreaTable* table : tables_) table->finish_rows(y + K);
    }

    std::array<SummedAreaTable*, N> tables_;
    Buffer<double> zeros_;  // the row above row 0
    LeftColumn<N> left_;
    ColumnTap<N> tap_;
};

struct StridedRow {
    const float* start;
    std::ptrdiff_t step;
    float operator[](std::size_t x) const { return start[static_cast<std::ptrdiff_t>(x) * step]; }
};

// A plane and its element-wise square, rounded to single precision as a
// squared plane would hold it: the squares never need a plane of their own.
struct PlaneAndSquareSource {
    PlaneView plane;
    struct Row {
        StridedRow values_row;
        Double2 values(std::size_t x) const {
            const float v = values_row[x];
            const float square = v * v;
            return Double2{v, square};
        }
    };
    Row row(std::size_t y) const { return {{plane.row(y), plane.col_step}}; }
};

}  // namespace velkor::table_sweep
