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
#include <utility>

#include "image/buffer.hpp"

namespace velkor::table_sweep {

// A Source describes N planes of equal size read together: `row(y)` returns
// a reader whose `values(x)` gives std::array<double, N>, the planes' values
// at (y, x) widened to double.

template <std::size_t K, std::size_t N, class Source>
void sweep_band(const Source& source, const std::array<double*, N>& tables,
                const std::array<const double*, N>& above_row, std::size_t y_begin,
                std::size_t cols) {
    using Row = decltype(source.row(0));
    const std::array<Row, K> rows = [&]<std::size_t... J>(std::index_sequence<J...>) {
        return std::array<Row, K>{source.row(y_begin + J)...};
    }(std::make_index_sequence<K>{});

    // Per table and band row: the entry to the left, and the one above-left.
    // Both start as +0.0, which is what column 0 takes for its absent terms.
    double left[N][K] = {};
    double diagonal[N][K] = {};

    auto advance = [&](std::size_t j, std::size_t x) {
        const std::array<double, N> v = rows[j].values(x);
        for (std::size_t i = 0; i < N; ++i) {
            // Row j-1 produced (y-1, x) on the previous step and has not yet
            // moved on, because rows advance from the bottom of the band up.
            const double above = j == 0 ? above_row[i][x] : left[i][j - 1];
            const double s = ((v[i] + above) + left[i][j]) - diagonal[i][j];
            tables[i][(y_begin + j) * cols + x] = s;
            left[i][j] = s;
            diagonal[i][j] = above;
        }
    };
    auto step = [&]<bool kEdge>(std::size_t t) {
        [&]<std::size_t... J>(std::index_sequence<J...>) {
            auto one = [&](std::size_t j) {
                if (!kEdge || (t >= j && t - j < cols)) advance(j, t - j);
            };
            (one(K - 1 - J), ...);
        }(std::make_index_sequence<K>{});
    };

    // Steps [K-1, cols) have every row of the band inside the table.
    const std::size_t steps = cols + K - 1;
    std::size_t t = 0;
    for (; t < K - 1 && t < steps; ++t) step.template operator()<true>(t);
    for (; t < cols; ++t) step.template operator()<false>(t);
    for (; t < steps; ++t) step.template operator()<true>(t);
}

// Fills N row-major rows x cols tables from `source`, K rows per band.
template <std::size_t K, std::size_t N, class Source>
void sweep(const Source& source, const std::array<double*, N>& tables, std::size_t rows,
           std::size_t cols) {
    if (rows == 0 || cols == 0) return;
    // Row 0 reads +0.0 above itself.
    const Buffer<double> zeros = Buffer<double>::zeroed(cols);
    std::array<const double*, N> above;
    above.fill(zeros.data());

    auto band_done = [&](std::size_t last_row) {
        for (std::size_t i = 0; i < N; ++i) above[i] = tables[i] + last_row * cols;
    };
    std::size_t y = 0;
    for (; rows - y >= K; y += K) {
        sweep_band<K>(source, tables, above, y, cols);
        band_done(y + K - 1);
    }
    for (; y < rows; ++y) {
        sweep_band<1>(source, tables, above, y, cols);
        band_done(y);
    }
}

}  // namespace velkor::table_sweep
