// The sRGB encoding by a direct double-precision power and a rounding check;
// see srgb_power.hpp for why this gives libm's bits.
//
// x = 2^k z with z in [0.7, 1.4), split into 16 intervals.  For interval j
// a float f_j near 1/z is chosen, so that r = z f_j - 1 is exact in double
// (two 24-bit factors) and |r| < 0.031.  Then
//     x^a = (2^k / f_j)^a * (1 + r)^a,
// the first factor from a table indexed by the top bits of x, the second a
// short series in r.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "parallel/compute_once.hpp"
#include "simd/srgb_power.hpp"
#include "simd/srgb_span.hpp"

#define VELKOR_AVX2 __attribute__((target("avx2,fma")))

namespace velkor::simd {
namespace {

// Bit pattern of the lowest z; 0x3f330000 is ~0.7, so z brackets 1.
constexpr std::uint32_t kIntervalOrigin = 0x3f330000;
// (bits(x) - origin) >> 19 is 16 k + j: every int32 shifted so lands in
// [-4096, 4096), and the table covers all of it, so no lane can index out of
// bounds whatever it holds (NaN, negative, linear-segment lanes).
constexpr int kIndexShift = 19;
constexpr int kIndexCount = 1 << (32 - kIndexShift);
constexpr int kIntervals = 16;
// (1+r)^a = 1 + r (s0 + s1 r + ... + s4 r^4): the binomial series to r^6,
// with its r^6 term folded into lower ones (Chebyshev economisation over the
// range of r); everything left out stays below 2^-39.
constexpr int kSeriesTerms = 5;

// The float spacing sits 29 bits above the double's last bit.  A double whose
// low 29 bits are within kGuard of the midpoint pattern 2^28 is too close to
// call.  Our error is below 2^-39 relative and glibc's below 2^-33 (2^20
// units here, found by checking every input); the guard doubles that.
constexpr std::uint32_t kMidpoint = 1u << 28;
constexpr std::uint32_t kGuard = 1u << 21;

struct PowerTable {
    alignas(32) float inverse_z[kIntervals];
    double series[kSeriesTerms];
    double scale[kIndexCount];    // (2^k / f_j)^a at index 16 k + j + kIndexCount/2
};

std::uint32_t interval_start(int j) {
    return kIntervalOrigin + (static_cast<std::uint32_t>(j) << kIndexShift);
}

// Long double keeps the table's own error near 2^-63, far below what matters.
PowerTable build_power_table() {
    PowerTable table{};
    const long double a = srgb::kExponent;
    long double r_max = 0;
    for (int j = 0; j < kIntervals; ++j) {
        long double lo = std::bit_cast<float>(interval_start(j));
        long double hi = std::bit_cast<float>(interval_start(j + 1));
        long double f = static_cast<float>((lo + hi) / (2 * lo * hi));  // centres r on 0
        table.inverse_z[j] = static_cast<float>(f);
        r_max = std::max({r_max, std::fabs(lo * f - 1), std::fabs(hi * f - 1)});
    }
    long double binomial[kSeriesTerms + 1];  // a choose (n + 1)
    binomial[0] = a;
    for (int n = 1; n <= kSeriesTerms; ++n) binomial[n] = binomial[n - 1] * (a - n) / (n + 1);
    // On [-R, R], r^5 = R^5 T5(r/R)/16 + (5/4) R^2 r^3 - (5/16) R^4 r, and
    // |T5| <= 1: dropping the T5 part costs at most |s5| R^5 / 16.
    long double r2 = r_max * r_max;
    binomial[3] += binomial[5] * 5 * r2 / 4;
    binomial[1] -= binomial[5] * 5 * r2 * r2 / 16;
    for (int n = 0; n < kSeriesTerms; ++n) table.series[n] = static_cast<double>(binomial[n]);
    long double interval_scale[kIntervals];
    for (int j = 0; j < kIntervals; ++j) interval_scale[j] = ::powl(table.inverse_z[j], -a);
    const int lowest_k = -kIndexCount / 2 / kIntervals;
    for (int k = lowest_k; k < -lowest_k; ++k) {
        long double binade_scale = ::exp2l(a * k);
        double* row = table.scale + (k - lowest_k) * kIntervals;
        for (int j = 0; j < kIntervals; ++j) row[j] = static_cast<double>(binade_scale * interval_scale[j]);
    }
    return table;
}

// Without a lock, so that a fork() during the build leaves no busy guard.
parallel::ComputeOnce<PowerTable> table;

const PowerTable& power_table() { return table.get(build_power_table); }

VELKOR_AVX2 inline __m256d lower_to_double(__m256 x) {
    return _mm256_cvtps_pd(_mm256_castps256_ps128(x));
}
VELKOR_AVX2 inline __m256d upper_to_double(__m256 x) {
    return _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1));
}

// f_j for eight lanes: two register permutes over the 16 floats.
VELKOR_AVX2 inline __m256 inverse_z(const PowerTable& table, __m256i index) {
    __m256 low = _mm256_load_ps(table.inverse_z);
    __m256 high = _mm256_load_ps(table.inverse_z + 8);
    __m256 bit3 = _mm256_castsi256_ps(_mm256_slli_epi32(index, 28));
    return _mm256_blendv_ps(_mm256_permutevar8x32_ps(low, index),
                            _mm256_permutevar8x32_ps(high, index), bit3);
}

// Scalar loads measured about 10% faster than two gathers (AMD Zen 3).
VELKOR_AVX2 inline void scales(const PowerTable& table, __m256i index, __m256d& lower,
                               __m256d& upper) {
    alignas(32) std::int32_t i[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(i), index);
    const double* s = table.scale + kIndexCount / 2;
    lower = _mm256_setr_pd(s[i[0]], s[i[1]], s[i[2]], s[i[3]]);
    upper = _mm256_setr_pd(s[i[4]], s[i[5]], s[i[6]], s[i[7]]);
}

// scale * (1 + r)^a.
VELKOR_AVX2 inline __m256d power(const PowerTable& table, __m256d z, __m256d f, __m256d scale) {
    __m256d r = _mm256_fmsub_pd(z, f, _mm256_set1_pd(1.0));  // exact
    __m256d s = _mm256_set1_pd(table.series[kSeriesTerms - 1]);
    for (int n = kSeriesTerms - 2; n >= 0; --n) {
        s = _mm256_fmadd_pd(s, r, _mm256_set1_pd(table.series[n]));
    }
    return _mm256_fmadd_pd(scale, _mm256_mul_pd(s, r), scale);
}

// All-ones in the lanes whose double is too near a float midpoint.  The low
// 32 bits of each double, gathered into lane order, hold the 29 bits below
// the float's last place.
VELKOR_AVX2 inline __m256 near_midpoint(__m256d lower, __m256d upper) {
    __m256 words = _mm256_shuffle_ps(_mm256_castpd_ps(lower), _mm256_castpd_ps(upper), 0x88);
    __m256i low = _mm256_permute4x64_epi64(_mm256_castps_si256(words), 0xd8);
    low = _mm256_and_si256(low, _mm256_set1_epi32(static_cast<int>(2 * kMidpoint - 1)));
    // offset < 2 kGuard, unsigned, means low is in [2^28 - kGuard, 2^28 + kGuard).
    __m256i offset = _mm256_sub_epi32(low, _mm256_set1_epi32(static_cast<int>(kMidpoint - kGuard)));
    __m256i widest = _mm256_set1_epi32(static_cast<int>(2 * kGuard - 1));
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_min_epu32(offset, widest), offset));
}

// x^a rounded to float for lanes holding a positive normal float; `doubtful`
// gets all-ones where libm must decide (near a midpoint, infinity, NaN).
VELKOR_AVX2 inline __m256 power8(const PowerTable& table, __m256 x, __m256& doubtful) {
    __m256i ix = _mm256_castps_si256(x);
    __m256i offset = _mm256_sub_epi32(ix, _mm256_set1_epi32(static_cast<int>(kIntervalOrigin)));
    __m256i index = _mm256_srai_epi32(offset, kIndexShift);
    __m256i exponent = _mm256_and_si256(offset, _mm256_set1_epi32(static_cast<int>(0xff800000)));
    __m256 z = _mm256_castsi256_ps(_mm256_sub_epi32(ix, exponent));
    __m256 f = inverse_z(table, index);
    __m256d scale_lower, scale_upper;
    scales(table, index, scale_lower, scale_upper);
    __m256d lower = power(table, lower_to_double(z), lower_to_double(f), scale_lower);
    __m256d upper = power(table, upper_to_double(z), upper_to_double(f), scale_upper);
    __m256 not_finite = _mm256_cmp_ps(x, _mm256_set1_ps(__builtin_inff()), _CMP_NLT_UQ);
    doubtful = _mm256_or_ps(near_midpoint(lower, upper), not_finite);
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lower)),
                                _mm256_cvtpd_ps(upper), 1);
}

VELKOR_AVX2 inline __m256 encode8(const PowerTable& table, __m256 x, int& doubtful_lanes) {
    __m256 linear_lanes = _mm256_cmp_ps(x, _mm256_set1_ps(srgb::kThreshold), _CMP_LE_OQ);
    __m256 linear = _mm256_mul_ps(x, _mm256_set1_ps(srgb::kSlope));
    __m256 doubtful;
    __m256 p = power8(table, x, doubtful);
    doubtful_lanes = _mm256_movemask_ps(_mm256_andnot_ps(linear_lanes, doubtful));
    __m256 scaled = _mm256_mul_ps(p, _mm256_set1_ps(srgb::kScale));
    __m256 encoded = _mm256_add_ps(scaled, _mm256_set1_ps(srgb::kOffset));
    return _mm256_blendv_ps(encoded, linear, linear_lanes);
}

// Stores eight results, then lets libm redo the doubtful lanes from the
// inputs kept in `x` (`out` may be `in`).
VELKOR_AVX2 inline void store(float* out, __m256 x, __m256 y, int doubtful) {
    _mm256_storeu_ps(out, y);
    if (doubtful == 0) return;
    alignas(32) float xs[8];
    _mm256_store_ps(xs, x);
    for (; doubtful != 0; doubtful &= doubtful - 1) {
        int lane = __builtin_ctz(static_cast<unsigned>(doubtful));
        out[lane] = encode_srgb_reference(xs[lane]);
    }
}

}  // namespace

// Two vectors per iteration: the scalar loads of one overlap the arithmetic
// of the other (about 3% faster).
VELKOR_AVX2 void encode_srgb_avx2_nearest(const float* in, float* out, std::size_t n) {
    const PowerTable& table = power_table();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m256 x0 = _mm256_loadu_ps(in + i);
        __m256 x1 = _mm256_loadu_ps(in + i + 8);
        int doubtful0 = 0, doubtful1 = 0;
        __m256 y0 = encode8(table, x0, doubtful0);
        __m256 y1 = encode8(table, x1, doubtful1);
        store(out + i, x0, y0, doubtful0);
        store(out + i + 8, x1, y1, doubtful1);
    }
    for (; i + 8 <= n; i += 8) {
        __m256 x = _mm256_loadu_ps(in + i);
        int doubtful = 0;
        __m256 y = encode8(table, x, doubtful);
        store(out + i, x, y, doubtful);
    }
    for (; i < n; ++i) out[i] = encode_srgb_reference(in[i]);
}

}  // namespace velkor::simd
