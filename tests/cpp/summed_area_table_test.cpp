// The row window sums against the plain recurrence, for every run of
// columns.  Whole tables, and the rows kept while the filter streams down
// the image in bands, are checked through local_contrast_test.cpp.
#include <cmath>
#include <type_traits>

#include "guided_filter_reference.hpp"
#include "local_contrast/row_windows.hpp"
#include "local_contrast/summed_area_table.hpp"
#include "local_contrast/table_sweep.hpp"

using namespace velkor;

namespace {

constexpr std::size_t kHugeRadius = 4294967295u;

struct TablePair {
    SummedAreaTable first, second;
};

struct TwoPlanes {
    PlaneView first, second;
    struct Row {
        PlaneView first, second;
        std::size_t y;
        table_sweep::Double2 values(std::size_t x) const { return table_sweep::Double2{first.at(y, x), second.at(y, x)}; }
    };
    Row row(std::size_t y) const { return {first, second, y}; }
};

TablePair full_pair(const PlaneView& first, const PlaneView& second) {
    TablePair pair{SummedAreaTable(first.rows, first.cols, first.rows),
                   SummedAreaTable(first.rows, first.cols, first.rows)};
    table_sweep::TableBuilder<2> builder({&pair.first, &pair.second});
    builder.extend_to(first.rows, TwoPlanes{first, second});
    return pair;
}

// Any run of columns, however the parallel loop cuts a row, gives the
// reference's window sums, clipped at every border.  Far-apart magnitudes
// make the double sums round, so the order of a window's three
// subtractions shows (plain random planes sum exactly).
void row_runs_match(std::size_t h, std::size_t w, std::size_t r) {
    reference::Plane p = reference::random_plane(h, w, 7), p2 = reference::random_plane(h, w, 8);
    for (std::size_t k = 0; k < p.v.size(); k += 3) p.v[k] = std::ldexp(p.v[k], k % 2 ? 60 : -60);
    TablePair tables = full_pair(p.view(), p2.view());
    const reference::Table ref1 = reference::sat(p.view()), ref2 = reference::sat(p2.view());
    std::vector<double> zeros(w, 0.0);
    for (std::size_t y = 0; y < h; ++y) {
        RowWindows windows(tables.first.rows_for_reading(0, h, h), tables.second.rows_for_reading(0, h, h),
                           zeros.data(), y, r, w, 0);
        for (std::size_t begin = 0; begin <= w; ++begin) {
            for (std::size_t end = begin; end <= w; ++end) {
                std::size_t expected_x = begin;
                auto check = [&](std::size_t x, double s1, double s2, double n) {
                    reference::Window a = reference::window_sum(ref1, y, x, r), b = reference::window_sum(ref2, y, x, r);
                    EXPECT(x == expected_x && same_bits(s1, a.sum) && same_bits(s2, b.sum) && n == a.count,
                           "%zux%zu run [%zu, %zu) r=%zu at (%zu, %zu)", h, w, begin, end, r, y, x);
                    ++expected_x;
                };
                windows.for_each(begin, end, [&](std::size_t i, const auto& s1, const auto& s2, const auto& n) {
                    const std::size_t x = begin + i;  // the body counts from the run's start
                    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(n)>, double>) {
                        check(x, s1, s2, n);
                    } else {
                        for (std::size_t i = 0; i < lanes::kWidth; ++i) check(x + i, s1[i], s2[i], n[i]);
                    }
                });
                EXPECT(expected_x == end, "run [%zu, %zu) visited up to %zu", begin, end, expected_x);
            }
        }
    }
}

}  // namespace

int main() {
    for (auto [h, w] : {std::pair<std::size_t, std::size_t>{1, 1}, {6, 1}, {5, 7}, {3, 21}})
        for (std::size_t r : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{6}, kHugeRadius})
            row_runs_match(h, w, r);
    return finish("summed_area_table_test");
}
