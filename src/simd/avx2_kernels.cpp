// AVX2 versions of glibc's expf, exp2f, logf and powf, and of the two fused
// kernels built on them.
//
// Every step below is one step of glibc's C code (see libm_tables.hpp for the
// origin of the algorithms), in double precision, four lanes at a time, eight
// floats per iteration.  The
// template flag `Fused` reproduces the one thing that differs between glibc's
// two x86-64 builds: which `a*b + c` the compiler contracted into an FMA.  The
// pattern was read from the disassembly of Debian 12's libm (__expf_fma and
// friends); the SSE2 build contracts nothing.  The file itself must be
// compiled with -ffp-contract=off so that the unfused steps stay unfused.
//
// Lanes for which glibc would leave its main path (overflow, NaN, ...) are
// flagged and recomputed by libm after the vector step; so are loop tails.
#include <immintrin.h>

#include <bit>
#include <cstdint>

#include "simd/kernel_set.hpp"
#include "simd/libm_tables.hpp"
#include "simd/srgb_power.hpp"
#include "simd/srgb_span.hpp"
#include "simd/zone_curve.hpp"
#include "simd/zone_curve_constants.hpp"

#define VELKOR_AVX2 __attribute__((target("avx2,fma")))

namespace velkor::simd {
namespace {

using namespace tables;

// ---------------------------------------------------------------- helpers

VELKOR_AVX2 inline __m256d splat(double v) { return _mm256_set1_pd(v); }
VELKOR_AVX2 inline __m256 splat(float v) { return _mm256_set1_ps(v); }
VELKOR_AVX2 inline __m256i splat_u32(std::uint32_t v) {
    return _mm256_set1_epi32(static_cast<int>(v));
}

// a*b + c, rounded once (Fused) or twice, as the matching glibc build does.
template <bool Fused>
VELKOR_AVX2 inline __m256d mul_add(__m256d a, __m256d b, __m256d c) {
    if constexpr (Fused) {
        return _mm256_fmadd_pd(a, b, c);
    } else {
        return _mm256_add_pd(_mm256_mul_pd(a, b), c);
    }
}

VELKOR_AVX2 inline __m256d lower_to_double(__m256 x) {
    return _mm256_cvtps_pd(_mm256_castps256_ps128(x));
}
VELKOR_AVX2 inline __m256d upper_to_double(__m256 x) {
    return _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1));
}
// Rounds to float in the current rounding mode, like glibc's final cast.
VELKOR_AVX2 inline __m256 to_float(__m256d lower, __m256d upper) {
    return _mm256_set_m128(_mm256_cvtpd_ps(upper), _mm256_cvtpd_ps(lower));
}

VELKOR_AVX2 inline int lanes(__m256i mask) {
    return _mm256_movemask_ps(_mm256_castsi256_ps(mask));
}
VELKOR_AVX2 inline int lanes(__m256 mask) { return _mm256_movemask_ps(mask); }

// Lanes whose magnitude has a bit pattern >= `bits` (NaN included).
VELKOR_AVX2 inline int magnitude_at_least(__m256 x, std::uint32_t bits) {
    __m256i magnitude = _mm256_and_si256(_mm256_castps_si256(x), splat_u32(0x7fffffff));
    return lanes(_mm256_cmpgt_epi32(magnitude, splat_u32(bits - 1)));
}

// Lanes that are not a positive, normal, finite float: glibc's
// `ix - 0x00800000 >= 0x7f800000 - 0x00800000`.
VELKOR_AVX2 inline int not_positive_normal(__m256 x) {
    __m256i ix = _mm256_castps_si256(x);
    __m256i too_small = _mm256_cmpgt_epi32(splat_u32(0x00800000), ix);  // also every negative
    __m256i too_large = _mm256_cmpgt_epi32(ix, splat_u32(0x7f7fffff));
    return lanes(_mm256_or_si256(too_small, too_large));
}

// A value the compiler cannot see through, so that arithmetic on it happens
// at run time in the caller's rounding mode instead of being folded.
VELKOR_AVX2 inline __m256 opaque(__m256 v) {
    __asm__("" : "+x"(v));
    return v;
}

// ---------------------------------------------------------- table lookups
//
// The 16-entry log tables are kept as two tables of their low and high
// 32-bit words, so that eight lanes are looked up with register permutes
// (vpermd) and a blend; this measured faster than gathers.  Lookups are exact
// however they are done.

struct WordTable {
    alignas(32) std::uint32_t low[16];
    alignas(32) std::uint32_t high[16];
};

constexpr WordTable split_words(const double (&table)[16]) {
    WordTable words{};
    for (int i = 0; i < 16; ++i) {
        std::uint64_t bits = std::bit_cast<std::uint64_t>(table[i]);
        words.low[i] = static_cast<std::uint32_t>(bits);
        words.high[i] = static_cast<std::uint32_t>(bits >> 32);
    }
    return words;
}

constexpr WordTable kLogInvCWords = split_words(kLogInvC);
constexpr WordTable kLogLogCWords = split_words(kLogLogC);
constexpr WordTable kLog2LogCWords = split_words(kLog2LogC);

VELKOR_AVX2 inline __m256 permute(const std::uint32_t* words, __m256i index) {
    __m256i table = _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
    return _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(table, index));
}

// A mask with the sign bit set where bit 3 of the index is set.
VELKOR_AVX2 inline __m256 index_bit3(__m256i index) {
    return _mm256_castsi256_ps(_mm256_slli_epi32(index, 28));
}

// words[index % 16] for eight lanes.
VELKOR_AVX2 inline __m256i lookup_words(const std::uint32_t* words, __m256i index) {
    __m256 entries = _mm256_blendv_ps(permute(words, index), permute(words + 8, index),
                                      index_bit3(index));
    return _mm256_castps_si256(entries);
}

// Eight lanes as two vectors of four doubles: lanes 0-3 and lanes 4-7.
struct DoubleLanes {
    __m256d lower;
    __m256d upper;
};

// table[index] for eight lanes in natural order.
VELKOR_AVX2 inline DoubleLanes lookup(const WordTable& table, __m256i index) {
    __m256i low = lookup_words(table.low, index);
    __m256i high = lookup_words(table.high, index);
    __m256i lanes0145 = _mm256_unpacklo_epi32(low, high);
    __m256i lanes2367 = _mm256_unpackhi_epi32(low, high);
    return {_mm256_castsi256_pd(_mm256_permute2x128_si256(lanes0145, lanes2367, 0x20)),
            _mm256_castsi256_pd(_mm256_permute2x128_si256(lanes0145, lanes2367, 0x31))};
}

// ------------------------------------------------------------ exp family

// x = k/32 + r for four lanes: k sits in the low bits of ki.
struct ExpReduction {
    __m256d r;
    __m256i ki;
};

// 2^x.  Adding the shift rounds x to a multiple of 1/32 in the current
// rounding mode and leaves k in the low mantissa bits.
VELKOR_AVX2 inline ExpReduction reduce_exp2(__m256d xd) {
    __m256d shift = splat(kExp2Shift);
    __m256d kd = _mm256_add_pd(xd, shift);
    __m256i ki = _mm256_castpd_si256(kd);
    kd = _mm256_sub_pd(kd, shift);
    return {_mm256_sub_pd(xd, kd), ki};
}

// e^x = 2^(x * 32/ln2 / 32).  The FMA build fuses the scaling into both the
// rounding step and the remainder.
template <bool Fused>
VELKOR_AVX2 inline ExpReduction reduce_exp(__m256d xd) {
    __m256d shift = splat(kExpShift);
    __m256d inv_ln2_n = splat(kExpInvLn2N);
    if constexpr (Fused) {
        __m256d kd = _mm256_fmadd_pd(inv_ln2_n, xd, shift);
        __m256i ki = _mm256_castpd_si256(kd);
        kd = _mm256_sub_pd(kd, shift);
        return {_mm256_fmsub_pd(inv_ln2_n, xd, kd), ki};
    } else {
        __m256d z = _mm256_mul_pd(inv_ln2_n, xd);
        __m256d kd = _mm256_add_pd(z, shift);
        __m256i ki = _mm256_castpd_si256(kd);
        kd = _mm256_sub_pd(kd, shift);
        return {_mm256_sub_pd(z, kd), ki};
    }
}

// 2^(k/32) for four lanes: the table entry for k % 32 with the exponent bits
// k << 47 added.  A gather measured faster here than permutes over the
// 32-entry table.  The masked form with a zero source says the same as the
// plain one without GCC's warning about an undefined source.
VELKOR_AVX2 inline __m256d exp2_scale(__m256i ki) {
    __m256i index = _mm256_and_si256(ki, _mm256_set1_epi64x(31));
    __m256i t = _mm256_mask_i64gather_epi64(_mm256_setzero_si256(),
                                            reinterpret_cast<const long long*>(kExp2), index,
                                            _mm256_set1_epi64x(-1), 8);
    return _mm256_castsi256_pd(_mm256_add_epi64(t, _mm256_slli_epi64(ki, 52 - 5)));
}

// s * (C0 r^3 + C1 r^2 + C2 r + 1) for four lanes.
template <bool Fused>
VELKOR_AVX2 inline __m256d exp_polynomial(__m256d r, __m256d s, const double* poly) {
    __m256d z = mul_add<Fused>(splat(poly[0]), r, splat(poly[1]));
    __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = mul_add<Fused>(splat(poly[2]), r, splat(1.0));
    y = mul_add<Fused>(z, r2, y);
    return _mm256_mul_pd(y, s);
}

// The common tail of expf, exp2f and powf, for eight lanes.
template <bool Fused>
VELKOR_AVX2 inline __m256 exp_finish(const ExpReduction& lower, const ExpReduction& upper,
                                     const double* poly) {
    return to_float(exp_polynomial<Fused>(lower.r, exp2_scale(lower.ki), poly),
                    exp_polynomial<Fused>(upper.r, exp2_scale(upper.ki), poly));
}

template <bool Fused>
VELKOR_AVX2 inline __m256 expf8(__m256 x) {
    return exp_finish<Fused>(reduce_exp<Fused>(lower_to_double(x)),
                             reduce_exp<Fused>(upper_to_double(x)), kExpPoly);
}

template <bool Fused>
VELKOR_AVX2 inline __m256 exp2f8(__m256 x) {
    return exp_finish<Fused>(reduce_exp2(lower_to_double(x)), reduce_exp2(upper_to_double(x)),
                             kExp2Poly);
}

// ------------------------------------------------------------ log family

// x = 2^k z with z in [0x3f330000, 2 * 0x3f330000) as a bit pattern; `index`
// picks the subinterval of z (and so the table row).  Valid for positive
// normal x.
struct LogReduction {
    __m256 z;
    __m256i k;
    __m256i index;
};

VELKOR_AVX2 inline LogReduction reduce_for_log(__m256 x) {
    __m256i ix = _mm256_castps_si256(x);
    __m256i tmp = _mm256_sub_epi32(ix, splat_u32(kLogOff));
    __m256i index = _mm256_and_si256(_mm256_srli_epi32(tmp, 23 - 4), splat_u32(15));
    __m256i k = _mm256_srai_epi32(tmp, 23);
    __m256i iz = _mm256_sub_epi32(ix, _mm256_and_si256(tmp, splat_u32(0xff800000)));
    return {_mm256_castsi256_ps(iz), k, index};
}

// Four lanes of a LogReduction, widened to double, with their table rows.
struct LogHalf {
    __m256d z;
    __m256d k;
    __m256d invc;
    __m256d logc;
};

struct LogInputs {
    LogHalf lower;
    LogHalf upper;
};

VELKOR_AVX2 inline LogInputs log_inputs(__m256 x, const WordTable& logc_table) {
    LogReduction red = reduce_for_log(x);
    DoubleLanes invc = lookup(kLogInvCWords, red.index);
    DoubleLanes logc = lookup(logc_table, red.index);
    return {{lower_to_double(red.z), _mm256_cvtepi32_pd(_mm256_castsi256_si128(red.k)),
             invc.lower, logc.lower},
            {upper_to_double(red.z), _mm256_cvtepi32_pd(_mm256_extracti128_si256(red.k, 1)),
             invc.upper, logc.upper}};
}

// log(x) = log1p(z/c - 1) + log(c) + k ln2.
template <bool Fused>
VELKOR_AVX2 inline __m256d log_core(const LogHalf& h) {
    __m256d r = mul_add<Fused>(h.z, h.invc, splat(-1.0));
    __m256d y0 = mul_add<Fused>(h.k, splat(kLogLn2), h.logc);
    __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = mul_add<Fused>(splat(kLogPoly[1]), r, splat(kLogPoly[2]));
    y = mul_add<Fused>(splat(kLogPoly[0]), r2, y);
    return mul_add<Fused>(y, r2, _mm256_add_pd(y0, r));
}

// log2(x) = log1p(z/c - 1)/ln2 + log2(c) + k, as powf computes it.  Even the
// FMA build adds log2(c) and k separately.
template <bool Fused>
VELKOR_AVX2 inline __m256d log2_core(const LogHalf& h) {
    __m256d r = mul_add<Fused>(h.z, h.invc, splat(-1.0));
    __m256d y0 = _mm256_add_pd(h.logc, h.k);
    __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = mul_add<Fused>(splat(kLog2Poly[0]), r, splat(kLog2Poly[1]));
    __m256d p = mul_add<Fused>(splat(kLog2Poly[2]), r, splat(kLog2Poly[3]));
    __m256d r4 = _mm256_mul_pd(r2, r2);
    __m256d q = mul_add<Fused>(splat(kLog2Poly[4]), r, y0);
    q = mul_add<Fused>(p, r2, q);
    return mul_add<Fused>(y, r4, q);
}

template <bool Fused>
VELKOR_AVX2 inline __m256 logf8(__m256 x) {
    LogInputs in = log_inputs(x, kLogLogCWords);
    return to_float(log_core<Fused>(in.lower), log_core<Fused>(in.upper));
}

// Lanes where powf leaves its main path because |y log2 x| >= 126 (the
// result may overflow or underflow).
VELKOR_AVX2 inline int pow_out_of_range(__m256d ylogx) {
    __m256i top = _mm256_srli_epi64(_mm256_castpd_si256(ylogx), 47);
    top = _mm256_and_si256(top, _mm256_set1_epi64x(0xffff));
    long long limit = static_cast<long long>(std::bit_cast<std::uint64_t>(126.0) >> 47);
    __m256i out = _mm256_cmpgt_epi64(top, _mm256_set1_epi64x(limit - 1));
    return _mm256_movemask_pd(_mm256_castsi256_pd(out));
}

// x^y for a y that is finite and non-zero; lanes glibc treats specially are
// added to `special`.
template <bool Fused>
VELKOR_AVX2 inline __m256 powf8(__m256 x, __m256d yd, int& special) {
    special |= not_positive_normal(x);
    LogInputs in = log_inputs(x, kLog2LogCWords);
    __m256d lower = _mm256_mul_pd(yd, log2_core<Fused>(in.lower));
    __m256d upper = _mm256_mul_pd(yd, log2_core<Fused>(in.upper));
    special |= pow_out_of_range(lower) | (pow_out_of_range(upper) << 4);
    return exp_finish<Fused>(reduce_exp2(lower), reduce_exp2(upper), kExp2Poly);
}

// -------------------------------------------------------------- the loop

// Runs an operation over a span: eight lanes at a time through op.vector,
// then libm (op.scalar) for the flagged lanes and for the tail.  Because the
// vector result equals the scalar one bit for bit, where a span is split
// never shows in the output.
template <class Op>
VELKOR_AVX2 void run(const Op& op, const float* in, float* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 x = _mm256_loadu_ps(in + i);
        int special = 0;
        __m256 y = op.vector(x, special);
        if (special == 0) {
            _mm256_storeu_ps(out + i, y);
            continue;
        }
        // Keep the inputs: `out` may be `in`.
        alignas(32) float xs[8];
        _mm256_store_ps(xs, x);
        _mm256_storeu_ps(out + i, y);
        for (; special != 0; special &= special - 1) {
            int lane = __builtin_ctz(static_cast<unsigned>(special));
            out[i + lane] = op.scalar(xs[lane]);
        }
    }
    for (; i < n; ++i) out[i] = op.scalar(in[i]);
}

// ------------------------------------------------------------ operations

template <bool Fused>
struct ExpfOp {
    // |x| >= 88 or NaN: overflow, underflow, infinities.
    VELKOR_AVX2 __m256 vector(__m256 x, int& special) const {
        special = magnitude_at_least(x, 0x42b00000);
        return expf8<Fused>(x);
    }
    static float scalar(float x) { return ::expf(x); }
};

template <bool Fused>
struct Exp2fOp {
    // |x| >= 128 or NaN.
    VELKOR_AVX2 __m256 vector(__m256 x, int& special) const {
        special = magnitude_at_least(x, 0x43000000);
        return exp2f8<Fused>(x);
    }
    static float scalar(float x) { return ::exp2f(x); }
};

template <bool Fused>
struct LogfOp {
    // Zero, negative, subnormal, infinite, NaN; and 1, which glibc answers
    // with +0 directly so that no rounding mode can produce -0.
    VELKOR_AVX2 __m256 vector(__m256 x, int& special) const {
        __m256i one = _mm256_cmpeq_epi32(_mm256_castps_si256(x), splat_u32(0x3f800000));
        special = not_positive_normal(x) | lanes(one);
        return logf8<Fused>(x);
    }
    static float scalar(float x) { return ::logf(x); }
};

template <bool Fused>
struct PowfOp {
    float y;
    __m256d yd;
    VELKOR_AVX2 __m256 vector(__m256 x, int& special) const {
        special = 0;
        return powf8<Fused>(x, yd, special);
    }
    float scalar(float x) const { return ::powf(x, y); }
};

template <bool Fused>
struct EncodeSrgbOp {
    __m256d exponent;
    VELKOR_AVX2 __m256 vector(__m256 x, int& special) const {
        __m256 linear_lanes = _mm256_cmp_ps(x, splat(srgb::kThreshold), _CMP_LE_OQ);
        __m256 linear = _mm256_mul_ps(x, splat(srgb::kSlope));
        special = 0;
        if (lanes(linear_lanes) == 0xff) return linear;  // deep shadows: no powf at all
        __m256 p = powf8<Fused>(x, exponent, special);
        special &= ~lanes(linear_lanes);
        __m256 encoded = _mm256_add_ps(_mm256_mul_ps(p, splat(srgb::kScale)), splat(srgb::kOffset));
        return _mm256_blendv_ps(encoded, linear, linear_lanes);
    }
    static float scalar(float x) { return encode_srgb_reference(x); }
};

// glibc's results for expf arguments below its underflow limits: float
// products of constants (__math_uflowf and __math_may_uflowf), which round
// differently in each rounding mode.  They are computed at run time, once
// per span (an underflowing multiply is slow), in the caller's mode.
struct UnderflowResults {
    __m256 below_limit;       // x < -0x1.9fe368p6: 0x1p-95f * 0x1p-95f
    __m256 near_limit;        // x < -0x1.9d1d9ep6: 0x1.4p-75f * 0x1.4p-75f
};

VELKOR_AVX2 inline UnderflowResults underflow_results() {
    __m256 tinier = opaque(splat(0x1p-95f));
    __m256 tiny = opaque(splat(0x1.4p-75f));
    return {_mm256_mul_ps(tinier, tinier), _mm256_mul_ps(tiny, tiny)};
}

// expf for the zone weights.  Dark pixels push the argument far below -88,
// so glibc's underflow results are produced here rather than by libm (only
// errno, which nobody reads here, is left unset).  NaN and large positive
// arguments, which no sensible table produces, are flagged for libm.
template <bool Fused>
VELKOR_AVX2 inline __m256 zone_weight(__m256 q, const UnderflowResults& tiny, int& special) {
    int large = magnitude_at_least(q, 0x42b00000);
    if (large == 0) return expf8<Fused>(q);
    special |= large & ~lanes(_mm256_cmp_ps(q, _mm256_setzero_ps(), _CMP_LT_OQ));
    // Lanes below the underflow limit are replaced below; clamping them first
    // keeps the main path from computing subnormal garbage, which is slow.
    __m256 w = expf8<Fused>(_mm256_max_ps(q, splat(-0x1.9fe368p6f)));
    __m256 near_limit = _mm256_cmp_ps(q, splat(-0x1.9d1d9ep6f), _CMP_LT_OQ);
    __m256 below_limit = _mm256_cmp_ps(q, splat(-0x1.9fe368p6f), _CMP_LT_OQ);
    __m256 minus_infinity = _mm256_cmp_ps(q, splat(-__builtin_inff()), _CMP_EQ_OQ);
    w = _mm256_blendv_ps(w, tiny.near_limit, near_limit);
    w = _mm256_blendv_ps(w, tiny.below_limit, below_limit);
    return _mm256_blendv_ps(w, _mm256_setzero_ps(), minus_infinity);
}

template <bool Fused>
struct ZoneCurveOp {
    const float* zone_a;
    const float* zone_b;
    std::size_t zones;
    UnderflowResults tiny;

    VELKOR_AVX2 __m256 vector(__m256 x, int& special) const {
        // max_ps returns its second operand when the first is NaN: NaN -> floor.
        __m256 m = _mm256_max_ps(x, splat(zone::kFloor));
        // m is a positive normal float or +inf; only +inf needs libm.  logf(1)
        // is +0 from glibc's own early return.
        special = lanes(_mm256_cmp_ps(m, splat(__builtin_inff()), _CMP_EQ_OQ));
        __m256 log_m = _mm256_andnot_ps(_mm256_cmp_ps(m, splat(1.0f), _CMP_EQ_OQ), logf8<Fused>(m));
        __m256 z = _mm256_div_ps(log_m, splat(zone::kLn2));
        z = _mm256_add_ps(z, splat(zone::kFive));
        z = _mm256_add_ps(z, splat(zone::kMiddleGreyOffset));
        __m256 s = _mm256_setzero_ps();
        for (std::size_t i = 0; i < zones; ++i) {
            __m256 d = _mm256_sub_ps(z, splat(zone_a[i]));
            __m256 q = _mm256_div_ps(_mm256_mul_ps(d, d), splat(zone::kNegTwiceVariance));
            __m256 w = zone_weight<Fused>(q, tiny, special);
            s = _mm256_add_ps(s, _mm256_mul_ps(splat(zone_b[i]), w));
        }
        special |= magnitude_at_least(s, 0x43000000);  // |s| >= 128 or NaN
        return _mm256_mul_ps(x, exp2f8<Fused>(s));
    }
    float scalar(float x) const { return zone_curve_reference(x, zone_a, zone_b, zones); }
};

// ------------------------------------------------------------ entry points

template <bool Fused>
VELKOR_AVX2 void expf_avx2(const float* in, float* out, std::size_t n) {
    run(ExpfOp<Fused>{}, in, out, n);
}

template <bool Fused>
VELKOR_AVX2 void exp2f_avx2(const float* in, float* out, std::size_t n) {
    run(Exp2fOp<Fused>{}, in, out, n);
}

template <bool Fused>
VELKOR_AVX2 void logf_avx2(const float* in, float* out, std::size_t n) {
    run(LogfOp<Fused>{}, in, out, n);
}

// glibc's `2 * iy - 1 >= 2u * 0x7f800000 - 1`: y is zero, infinite or NaN.
bool zero_inf_nan(float y) {
    std::uint32_t iy = std::bit_cast<std::uint32_t>(y);
    return 2 * iy - 1 >= 2u * 0x7f800000 - 1;
}

template <bool Fused>
VELKOR_AVX2 void powf_avx2(const float* in, float* out, std::size_t n, float y) {
    if (zero_inf_nan(y)) {
        kScalarKernels.powf(in, out, n, y);
        return;
    }
    run(PowfOp<Fused>{y, _mm256_set1_pd(y)}, in, out, n);
}

// The direct power is about twice as fast, but its rounding check only
// holds when rounding to nearest; other modes take glibc's own steps.
template <bool Fused>
VELKOR_AVX2 void encode_srgb_avx2(const float* in, float* out, std::size_t n) {
    constexpr unsigned kRoundingControl = 0x6000;  // MXCSR bits 13-14; 0 is to-nearest
    if ((_mm_getcsr() & kRoundingControl) == 0) {
        encode_srgb_avx2_nearest(in, out, n);
        return;
    }
    run(EncodeSrgbOp<Fused>{_mm256_set1_pd(srgb::kExponent)}, in, out, n);
}

template <bool Fused>
VELKOR_AVX2 void zone_curve_avx2(const float* in, float* out, std::size_t n, const float* zone_a,
                                 const float* zone_b, std::size_t zones) {
    if (zones == 0) {
        kScalarKernels.zone_curve(in, out, n, zone_a, zone_b, zones);
        return;
    }
    run(ZoneCurveOp<Fused>{zone_a, zone_b, zones, underflow_results()}, in, out, n);
}

template <bool Fused>
constexpr KernelSet avx2_kernels() {
    return {expf_avx2<Fused>,        exp2f_avx2<Fused>,      logf_avx2<Fused>,
            powf_avx2<Fused>,        encode_srgb_avx2<Fused>, zone_curve_avx2<Fused>};
}

}  // namespace

const KernelSet kAvx2KernelsForFmaLibm = avx2_kernels<true>();
const KernelSet kAvx2KernelsForSse2Libm = avx2_kernels<false>();

}  // namespace velkor::simd
