// The summed-area tables and the row window sums against the plain recurrence.
#include <cmath>
#include <limits>
#include <type_traits>

#include "error/internal_failure.hpp"
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

bool table_equals(const SummedAreaTable& t, const reference::Table& ref) {
    if (t.rows() != ref.h || t.cols() != ref.w || t.built_rows() != ref.h) return false;
    for (std::size_t y = 0; y < ref.h; ++y)
        for (std::size_t x = 0; x < ref.w; ++x)
            if (!same_bits(t.at(y, x), ref.at(y, x))) return false;
    return true;
}

reference::Plane squares(const reference::Plane& p) {
    reference::Plane q = p;
    for (float& v : q.v) v = v * v;
    return q;
}

bool fails_internally(auto call) {
    try {
        call();
    } catch (const InternalFailure&) {
        return true;
    }
    return false;
}

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

// Sizes around the band heights of the skewed build (1, 4 and 8 rows), and
// widths shorter than a band.
void tables_match_the_recurrence() {
    const std::size_t sizes[][2] = {{0, 0}, {0, 5}, {5, 0}, {1, 1}, {1, 9}, {9, 1}, {2, 3},
                                    {3, 2}, {4, 4}, {7, 5}, {8, 3}, {9, 17}, {33, 2}, {31, 40}};
    std::uint32_t seed = 1;
    for (auto [h, w] : sizes) {
        reference::Plane p = reference::random_plane(h, w, seed++);
        reference::Plane p2 = reference::random_plane(h, w, seed++);
        SummedAreaTable plane(h, w, h), square(h, w, h);
        table_sweep::TableBuilder<2>({&plane, &square}).extend_to(h, table_sweep::PlaneAndSquareSource{p.view()});
        EXPECT(table_equals(plane, reference::sat(p.view())), "plane %zux%zu", h, w);
        EXPECT(table_equals(square, reference::sat(squares(p).view())), "square %zux%zu", h, w);
        TablePair pair = full_pair(p.view(), p2.view());
        EXPECT(table_equals(pair.first, reference::sat(p.view())), "pair 1 %zux%zu", h, w);
        EXPECT(table_equals(pair.second, reference::sat(p2.view())), "pair 2 %zux%zu", h, w);
    }
}

// A table that keeps only its newest rows, extended a few rows at a time in
// uneven steps, holds exactly the rows of the complete table.
void kept_rows_match_the_complete_table() {
    const std::size_t h = 45, w = 13;
    reference::Plane p = reference::random_plane(h, w, 21), p2 = reference::random_plane(h, w, 22);
    reference::Table want1 = reference::sat(p.view()), want2 = reference::sat(p2.view());
    for (std::size_t kept : {5, 6, 11, 17}) {
        SummedAreaTable first(h, w, kept), second(h, w, kept);
        table_sweep::TableBuilder<2> builder({&first, &second});
        std::size_t step = 1;
        while (builder.built_rows() < h) {
            builder.extend_to(std::min(h, builder.built_rows() + step), TwoPlanes{p.view(), p2.view()});
            step = step % (kept - 1) + 1;
            const std::size_t built = builder.built_rows();
            for (std::size_t y = built > kept ? built - kept : 0; y < built; ++y)
                for (std::size_t x = 0; x < w; ++x)
                    EXPECT(same_bits(first.at(y, x), want1.at(y, x)) && same_bits(second.at(y, x), want2.at(y, x)),
                           "kept %zu built %zu at (%zu, %zu)", kept, built, y, x);
            if (built > kept) {
                EXPECT(fails_internally([&] { first.at(built - kept - 1, 0); }), "row no longer kept");
            }
            EXPECT(built == h || fails_internally([&] { first.at(built, 0); }), "row not yet built");
        }
    }
}

// Far-apart magnitudes, so that the double sums round and the order of a
// window's three subtractions shows (plain random planes sum exactly).
void spread_magnitudes(reference::Plane& p) {
    for (std::size_t k = 0; k < p.v.size(); k += 3) p.v[k] = std::ldexp(p.v[k], k % 2 ? 60 : -60);
}

// Any run of columns, however the parallel loop cuts a row, gives the sums
// of the plain recurrence.
void row_runs_match(std::size_t h, std::size_t w, std::size_t r) {
    reference::Plane p = reference::random_plane(h, w, 7), p2 = reference::random_plane(h, w, 8);
    spread_magnitudes(p);
    TablePair tables = full_pair(p.view(), p2.view());
    const reference::Table want1 = reference::sat(p.view()), want2 = reference::sat(p2.view());
    std::vector<double> zeros(w, 0.0);
    for (std::size_t y = 0; y < h; ++y) {
        RowWindows windows(tables.first.rows_for_reading(0, h, h), tables.second.rows_for_reading(0, h, h),
                           zeros.data(), y, r);
        for (std::size_t begin = 0; begin <= w; ++begin) {
            for (std::size_t end = begin; end <= w; ++end) {
                std::size_t expected_x = begin;
                auto check = [&](std::size_t x, double s1, double s2, double n) {
                    reference::Window a = reference::window_sum(want1, y, x, r);
                    reference::Window b = reference::window_sum(want2, y, x, r);
                    EXPECT(x == expected_x, "x order");
                    EXPECT(same_bits(s1, a.sum) && same_bits(s2, b.sum) && n == a.count,
                           "run [%zu, %zu) r=%zu at (%zu, %zu)", begin, end, r, y, x);
                    ++expected_x;
                };
                windows.for_each(begin, end, [&](std::size_t x, const auto& s1, const auto& s2, const auto& n) {
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

void reads_outside_the_table_are_refused() {
    reference::Plane p = reference::random_plane(4, 5, 4);
    SummedAreaTable t = full_pair(p.view(), p.view()).first;
    EXPECT(fails_internally([&] { t.at(4, 0); }), "row past the end");
    EXPECT(fails_internally([&] { t.at(0, 5); }), "column past the end");
    std::vector<double> zeros(5, 0.0);
    const TableRows all = t.rows_for_reading(0, 4, 4), top = t.rows_for_reading(0, 2, 4);
    EXPECT(fails_internally([&] { RowWindows(all, all, zeros.data(), 4, 1); }), "row windows below");
    EXPECT(fails_internally([&] { RowWindows(top, top, zeros.data(), 2, 1); }), "row not made readable");
    RowWindows windows(all, all, zeros.data(), 1, 1);
    EXPECT(fails_internally([&] { windows.for_each(0, 6, [](const auto&...) {}); }), "run past the end");
    SummedAreaTable ring(9, 5, 3);
    EXPECT(fails_internally([&] { ring.rows_for_reading(0, 1, 0); }), "rows not yet built");
}

}  // namespace

int main() {
    tables_match_the_recurrence();
    kept_rows_match_the_complete_table();
    for (std::size_t r : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{6}, kHugeRadius})
        row_runs_match(3, 21, r);
    reads_outside_the_table_are_refused();
    if (g_failures) std::fprintf(stderr, "%d failure(s)\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
