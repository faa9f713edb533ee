#include "local_contrast/window_passes.hpp"

#include "local_contrast/lanes.hpp"
#include "local_contrast/table_sweep.hpp"
#include "parallel/compute_once.hpp"
#include "simd/choose.hpp"

namespace velkor {
namespace {

// The window passes come in two builds of the same source: one for the
// x86-64 baseline and one for AVX2, where each vector holds four doubles.
// Both compute the same operations lane by lane (neither fuses a multiply
// and an add), so the choice never shows in the result.  The choice is the
// one every operation makes (simd/choose.hpp); AVX-512 machines run the AVX2
// build, since the passes' vectors are four doubles wide either way.
#define VELKOR_AVX2 __attribute__((target("avx2")))

// The arithmetic of fit_row and apply_row, written once for one pixel
// (doubles) and four (lanes::Double4); RowWindows picks which per column.
[[gnu::always_inline]] inline void fit_row_any(const RowWindows& windows, std::size_t begin, std::size_t end,
                                               double eps, float* a_row, float* b_row) {
    windows.for_each(begin, end, [&](std::size_t x, const auto& s1, const auto& s2, const auto& n) {
        const auto mean = s1 / n;
        const auto variance = s2 / n - mean * mean;
        const auto denominator = eps + variance;
        // A denominator that is not > 0 (NaN included) gives a = 0.
        const auto a = lanes::where_positive(denominator, variance / denominator);
        const auto b = mean * (1.0 - a);
        lanes::store_as_float(a_row + x, a);
        lanes::store_as_float(b_row + x, b);
    });
}

template <class LuminanceRow>
[[gnu::always_inline]] inline void apply_row_from(const RowWindows& windows, std::size_t begin,
                                                  std::size_t end, LuminanceRow l_row, float* q_row) {
    windows.for_each(begin, end, [&](std::size_t x, const auto& t1, const auto& t2, const auto& n) {
        const auto l = lanes::load_widened_like(n, l_row, x);
        lanes::store_as_float(q_row + x, (t1 / n) * l + (t2 / n));
    });
}

[[gnu::always_inline]] inline void apply_row_any(const RowWindows& windows, std::size_t begin, std::size_t end,
                                                 const float* l_row, std::ptrdiff_t l_step, float* q_row) {
    // A contiguous row has its own loop, where the loads are plain.
    if (l_step == 1) return apply_row_from(windows, begin, end, l_row, q_row);
    apply_row_from(windows, begin, end, table_sweep::StridedRow{l_row, l_step}, q_row);
}

void fit_row_baseline(const RowWindows& windows, std::size_t begin, std::size_t end, double eps,
                      float* a_row, float* b_row) {
    fit_row_any(windows, begin, end, eps, a_row, b_row);
}
VELKOR_AVX2 void fit_row_avx2(const RowWindows& windows, std::size_t begin, std::size_t end, double eps,
                              float* a_row, float* b_row) {
    fit_row_any(windows, begin, end, eps, a_row, b_row);
}
void apply_row_baseline(const RowWindows& windows, std::size_t begin, std::size_t end, const float* l_row,
                        std::ptrdiff_t l_step, float* q_row) {
    apply_row_any(windows, begin, end, l_row, l_step, q_row);
}
VELKOR_AVX2 void apply_row_avx2(const RowWindows& windows, std::size_t begin, std::size_t end,
                                const float* l_row, std::ptrdiff_t l_step, float* q_row) {
    apply_row_any(windows, begin, end, l_row, l_step, q_row);
}

struct WindowPasses {
    decltype(&fit_row_baseline) fit;
    decltype(&apply_row_baseline) apply;
};

constexpr WindowPasses kBaseline{fit_row_baseline, apply_row_baseline};
constexpr WindowPasses kAvx2{fit_row_avx2, apply_row_avx2};

// Without a lock, so that a fork() during the choice leaves no busy guard.
parallel::ComputeOnce<simd::Chosen<WindowPasses>> chosen;

const WindowPasses& passes() {
    return chosen.get([] { return simd::choose(simd::Variants<WindowPasses>{kBaseline, kAvx2, kAvx2}); }).span;
}

}  // namespace

void fit_row(const RowWindows& windows, std::size_t begin, std::size_t end, double eps, float* a_row,
             float* b_row) {
    passes().fit(windows, begin, end, eps, a_row, b_row);
}

void apply_row(const RowWindows& windows, std::size_t begin, std::size_t end, const float* l_row,
               std::ptrdiff_t l_step, float* q_row) {
    passes().apply(windows, begin, end, l_row, l_step, q_row);
}

}  // namespace velkor
