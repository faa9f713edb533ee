// AVX-512 versions of the kernels in avx2_kernels.cpp: the same steps of
// glibc's algorithms, eight double lanes at a time, sixteen floats per
// iteration.  Read avx2_kernels.cpp first; only the mechanics differ (mask
// registers instead of movemask, vpermt2 for the 16-entry tables).
//
// Checked on an AVX-512 machine against every one of the 2^32 floats with
// both glibc builds (bench/verify_libm.cpp), with no difference.  Even so it
// is trusted on a CPU only after the dispatcher's self-test has compared it
// with libm; if that fails the AVX2 set is tried next.
#include <immintrin.h>

#include <bit>
#include <cstdint>

#include "simd/kernel_set.hpp"
#include "simd/libm_tables.hpp"
#include "simd/srgb_span.hpp"
#include "simd/zone_curve.hpp"
#include "simd/zone_curve_constants.hpp"

// GCC 12's AVX-512 intrinsics pass _mm512_undefined_*() as the merge source
// of their masked builtins and then warn about it at every use.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define VELKOR_AVX512 __attribute__((target("avx512f,avx2,fma")))

namespace velkor::simd {
namespace {

using namespace tables;

// ---------------------------------------------------------------- helpers

using Lanes = std::uint32_t;  // one bit per float lane

VELKOR_AVX512 inline __m512d splat(double v) { return _mm512_set1_pd(v); }
VELKOR_AVX512 inline __m512 splat(float v) { return _mm512_set1_ps(v); }
VELKOR_AVX512 inline __m512i splat_u32(std::uint32_t v) {
    return _mm512_set1_epi32(static_cast<int>(v));
}

template <bool Fused>
VELKOR_AVX512 inline __m512d mul_add(__m512d a, __m512d b, __m512d c) {
    if constexpr (Fused) {
        return _mm512_fmadd_pd(a, b, c);
    } else {
        return _mm512_add_pd(_mm512_mul_pd(a, b), c);
    }
}

VELKOR_AVX512 inline __m256 lower_floats(__m512 x) { return _mm512_castps512_ps256(x); }
VELKOR_AVX512 inline __m256 upper_floats(__m512 x) {
    return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1));
}
VELKOR_AVX512 inline __m256i lower_ints(__m512i x) { return _mm512_castsi512_si256(x); }
VELKOR_AVX512 inline __m256i upper_ints(__m512i x) { return _mm512_extracti64x4_epi64(x, 1); }

// Rounds to float in the current rounding mode, like glibc's final cast.
VELKOR_AVX512 inline __m512 to_float(__m512d lower, __m512d upper) {
    __m512d both = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(lower))),
                                      _mm256_castps_pd(_mm512_cvtpd_ps(upper)), 1);
    return _mm512_castpd_ps(both);
}

// Lanes whose magnitude has a bit pattern >= `bits` (NaN included).
VELKOR_AVX512 inline Lanes magnitude_at_least(__m512 x, std::uint32_t bits) {
    __m512i magnitude = _mm512_and_si512(_mm512_castps_si512(x), splat_u32(0x7fffffff));
    return _mm512_cmpgt_epi32_mask(magnitude, splat_u32(bits - 1));
}

// Lanes that are not a positive, normal, finite float.
VELKOR_AVX512 inline Lanes not_positive_normal(__m512 x) {
    __m512i ix = _mm512_castps_si512(x);
    return _mm512_cmpgt_epi32_mask(splat_u32(0x00800000), ix) |
           _mm512_cmpgt_epi32_mask(ix, splat_u32(0x7f7fffff));
}

VELKOR_AVX512 inline __m512 opaque(__m512 v) {
    __asm__("" : "+v"(v));
    return v;
}

// ------------------------------------------------------------ exp family

struct ExpReduction {
    __m512d r;
    __m512i ki;
};

VELKOR_AVX512 inline ExpReduction reduce_exp2(__m512d xd) {
    __m512d shift = splat(kExp2Shift);
    __m512d kd = _mm512_add_pd(xd, shift);
    __m512i ki = _mm512_castpd_si512(kd);
    kd = _mm512_sub_pd(kd, shift);
    return {_mm512_sub_pd(xd, kd), ki};
}

template <bool Fused>
VELKOR_AVX512 inline ExpReduction reduce_exp(__m512d xd) {
    __m512d shift = splat(kExpShift);
    __m512d inv_ln2_n = splat(kExpInvLn2N);
    if constexpr (Fused) {
        __m512d kd = _mm512_fmadd_pd(inv_ln2_n, xd, shift);
        __m512i ki = _mm512_castpd_si512(kd);
        kd = _mm512_sub_pd(kd, shift);
        return {_mm512_fmsub_pd(inv_ln2_n, xd, kd), ki};
    } else {
        __m512d z = _mm512_mul_pd(inv_ln2_n, xd);
        __m512d kd = _mm512_add_pd(z, shift);
        __m512i ki = _mm512_castpd_si512(kd);
        kd = _mm512_sub_pd(kd, shift);
        return {_mm512_sub_pd(z, kd), ki};
    }
}

// 2^(k/32): two vpermt2q lookups cover the 32-entry table, bit 4 of k picks.
VELKOR_AVX512 inline __m512d exp2_scale(__m512i ki) {
    const long long* table = reinterpret_cast<const long long*>(kExp2);
    __m512i first = _mm512_permutex2var_epi64(_mm512_loadu_si512(table), ki,
                                              _mm512_loadu_si512(table + 8));
    __m512i second = _mm512_permutex2var_epi64(_mm512_loadu_si512(table + 16), ki,
                                               _mm512_loadu_si512(table + 24));
    __mmask8 upper16 = _mm512_test_epi64_mask(ki, _mm512_set1_epi64(16));
    __m512i t = _mm512_mask_blend_epi64(upper16, first, second);
    return _mm512_castsi512_pd(_mm512_add_epi64(t, _mm512_slli_epi64(ki, 52 - 5)));
}

template <bool Fused>
VELKOR_AVX512 inline __m512d exp_polynomial(__m512d r, __m512d s, const double* poly) {
    __m512d z = mul_add<Fused>(splat(poly[0]), r, splat(poly[1]));
    __m512d r2 = _mm512_mul_pd(r, r);
    __m512d y = mul_add<Fused>(splat(poly[2]), r, splat(1.0));
    y = mul_add<Fused>(z, r2, y);
    return _mm512_mul_pd(y, s);
}

template <bool Fused>
VELKOR_AVX512 inline __m512 exp_finish(const ExpReduction& lower, const ExpReduction& upper,
                                       const double* poly) {
    return to_float(exp_polynomial<Fused>(lower.r, exp2_scale(lower.ki), poly),
                    exp_polynomial<Fused>(upper.r, exp2_scale(upper.ki), poly));
}

template <bool Fused>
VELKOR_AVX512 inline __m512 expf16(__m512 x) {
    return exp_finish<Fused>(reduce_exp<Fused>(_mm512_cvtps_pd(lower_floats(x))),
                             reduce_exp<Fused>(_mm512_cvtps_pd(upper_floats(x))), kExpPoly);
}

template <bool Fused>
VELKOR_AVX512 inline __m512 exp2f16(__m512 x) {
    return exp_finish<Fused>(reduce_exp2(_mm512_cvtps_pd(lower_floats(x))),
                             reduce_exp2(_mm512_cvtps_pd(upper_floats(x))), kExp2Poly);
}

// ------------------------------------------------------------ log family

struct LogHalf {
    __m512d z;
    __m512d k;
    __m512d invc;
    __m512d logc;
};

// One half of the reduction x = 2^k z, with its table rows (vpermt2pd over
// the 16-entry tables; the index is the low 4 bits).
VELKOR_AVX512 inline LogHalf log_half(__m256 z, __m256i k, __m256i index, const double* logc_table) {
    __m512i index64 = _mm512_cvtepu32_epi64(index);
    __m512d invc = _mm512_permutex2var_pd(_mm512_loadu_pd(kLogInvC), index64,
                                          _mm512_loadu_pd(kLogInvC + 8));
    __m512d logc = _mm512_permutex2var_pd(_mm512_loadu_pd(logc_table), index64,
                                          _mm512_loadu_pd(logc_table + 8));
    return {_mm512_cvtps_pd(z), _mm512_cvtepi32_pd(k), invc, logc};
}

struct LogInputs {
    LogHalf lower;
    LogHalf upper;
};

VELKOR_AVX512 inline LogInputs log_inputs(__m512 x, const double* logc_table) {
    __m512i ix = _mm512_castps_si512(x);
    __m512i tmp = _mm512_sub_epi32(ix, splat_u32(kLogOff));
    __m512i index = _mm512_and_si512(_mm512_srli_epi32(tmp, 23 - 4), splat_u32(15));
    __m512i k = _mm512_srai_epi32(tmp, 23);
    __m512 z = _mm512_castsi512_ps(_mm512_sub_epi32(ix, _mm512_and_si512(tmp, splat_u32(0xff800000))));
    return {log_half(lower_floats(z), lower_ints(k), lower_ints(index), logc_table),
            log_half(upper_floats(z), upper_ints(k), upper_ints(index), logc_table)};
}

template <bool Fused>
VELKOR_AVX512 inline __m512d log_core(const LogHalf& h) {
    __m512d r = mul_add<Fused>(h.z, h.invc, splat(-1.0));
    __m512d y0 = mul_add<Fused>(h.k, splat(kLogLn2), h.logc);
    __m512d r2 = _mm512_mul_pd(r, r);
    __m512d y = mul_add<Fused>(splat(kLogPoly[1]), r, splat(kLogPoly[2]));
    y = mul_add<Fused>(splat(kLogPoly[0]), r2, y);
    return mul_add<Fused>(y, r2, _mm512_add_pd(y0, r));
}

template <bool Fused>
VELKOR_AVX512 inline __m512d log2_core(const LogHalf& h) {
    __m512d r = mul_add<Fused>(h.z, h.invc, splat(-1.0));
    __m512d y0 = _mm512_add_pd(h.logc, h.k);
    __m512d r2 = _mm512_mul_pd(r, r);
    __m512d y = mul_add<Fused>(splat(kLog2Poly[0]), r, splat(kLog2Poly[1]));
    __m512d p = mul_add<Fused>(splat(kLog2Poly[2]), r, splat(kLog2Poly[3]));
    __m512d r4 = _mm512_mul_pd(r2, r2);
    __m512d q = mul_add<Fused>(splat(kLog2Poly[4]), r, y0);
    q = mul_add<Fused>(p, r2, q);
    return mul_add<Fused>(y, r4, q);
}

template <bool Fused>
VELKOR_AVX512 inline __m512 logf16(__m512 x) {
    LogInputs in = log_inputs(x, kLogLogC);
    return to_float(log_core<Fused>(in.lower), log_core<Fused>(in.upper));
}

VELKOR_AVX512 inline Lanes pow_out_of_range(__m512d ylogx) {
    __m512i top = _mm512_srli_epi64(_mm512_castpd_si512(ylogx), 47);
    top = _mm512_and_si512(top, _mm512_set1_epi64(0xffff));
    long long limit = static_cast<long long>(std::bit_cast<std::uint64_t>(126.0) >> 47);
    return _mm512_cmpge_epi64_mask(top, _mm512_set1_epi64(limit));
}

template <bool Fused>
VELKOR_AVX512 inline __m512 powf16(__m512 x, __m512d yd, Lanes& special) {
    special |= not_positive_normal(x);
    LogInputs in = log_inputs(x, kLog2LogC);
    __m512d lower = _mm512_mul_pd(yd, log2_core<Fused>(in.lower));
    __m512d upper = _mm512_mul_pd(yd, log2_core<Fused>(in.upper));
    special |= pow_out_of_range(lower) | (pow_out_of_range(upper) << 8);
    return exp_finish<Fused>(reduce_exp2(lower), reduce_exp2(upper), kExp2Poly);
}

// -------------------------------------------------------------- the loop

template <class Op>
VELKOR_AVX512 void run(const Op& op, const float* in, float* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m512 x = _mm512_loadu_ps(in + i);
        Lanes special = 0;
        __m512 y = op.vector(x, special);
        if (special == 0) {
            _mm512_storeu_ps(out + i, y);
            continue;
        }
        alignas(64) float xs[16];  // `out` may be `in`
        _mm512_store_ps(xs, x);
        _mm512_storeu_ps(out + i, y);
        for (; special != 0; special &= special - 1) {
            int lane = __builtin_ctz(special);
            out[i + lane] = op.scalar(xs[lane]);
        }
    }
    for (; i < n; ++i) out[i] = op.scalar(in[i]);
}

// ------------------------------------------------------------ operations

template <bool Fused>
struct ExpfOp {
    VELKOR_AVX512 __m512 vector(__m512 x, Lanes& special) const {
        special = magnitude_at_least(x, 0x42b00000);
        return expf16<Fused>(x);
    }
    static float scalar(float x) { return ::expf(x); }
};

template <bool Fused>
struct Exp2fOp {
    VELKOR_AVX512 __m512 vector(__m512 x, Lanes& special) const {
        special = magnitude_at_least(x, 0x43000000);
        return exp2f16<Fused>(x);
    }
    static float scalar(float x) { return ::exp2f(x); }
};

template <bool Fused>
struct LogfOp {
    VELKOR_AVX512 __m512 vector(__m512 x, Lanes& special) const {
        Lanes one = _mm512_cmpeq_epi32_mask(_mm512_castps_si512(x), splat_u32(0x3f800000));
        special = not_positive_normal(x) | one;
        return logf16<Fused>(x);
    }
    static float scalar(float x) { return ::logf(x); }
};

template <bool Fused>
struct PowfOp {
    float y;
    __m512d yd;
    VELKOR_AVX512 __m512 vector(__m512 x, Lanes& special) const {
        special = 0;
        return powf16<Fused>(x, yd, special);
    }
    float scalar(float x) const { return ::powf(x, y); }
};

template <bool Fused>
struct EncodeSrgbOp {
    __m512d exponent;
    VELKOR_AVX512 __m512 vector(__m512 x, Lanes& special) const {
        Lanes linear_lanes = _mm512_cmp_ps_mask(x, splat(srgb::kThreshold), _CMP_LE_OQ);
        __m512 linear = _mm512_mul_ps(x, splat(srgb::kSlope));
        special = 0;
        if (linear_lanes == 0xffff) return linear;
        __m512 p = powf16<Fused>(x, exponent, special);
        special &= ~linear_lanes;
        __m512 encoded = _mm512_add_ps(_mm512_mul_ps(p, splat(srgb::kScale)), splat(srgb::kOffset));
        return _mm512_mask_blend_ps(static_cast<__mmask16>(linear_lanes), encoded, linear);
    }
    static float scalar(float x) { return encode_srgb_reference(x); }
};

struct UnderflowResults {
    __m512 below_limit;
    __m512 near_limit;
};

VELKOR_AVX512 inline UnderflowResults underflow_results() {
    __m512 tinier = opaque(splat(0x1p-95f));
    __m512 tiny = opaque(splat(0x1.4p-75f));
    return {_mm512_mul_ps(tinier, tinier), _mm512_mul_ps(tiny, tiny)};
}

template <bool Fused>
VELKOR_AVX512 inline __m512 zone_weight(__m512 q, const UnderflowResults& tiny, Lanes& special) {
    Lanes large = magnitude_at_least(q, 0x42b00000);
    if (large == 0) return expf16<Fused>(q);
    special |= large & ~static_cast<Lanes>(_mm512_cmp_ps_mask(q, _mm512_setzero_ps(), _CMP_LT_OQ));
    __m512 w = expf16<Fused>(_mm512_max_ps(q, splat(-0x1.9fe368p6f)));
    __mmask16 near_limit = _mm512_cmp_ps_mask(q, splat(-0x1.9d1d9ep6f), _CMP_LT_OQ);
    __mmask16 below_limit = _mm512_cmp_ps_mask(q, splat(-0x1.9fe368p6f), _CMP_LT_OQ);
    __mmask16 minus_infinity = _mm512_cmp_ps_mask(q, splat(-__builtin_inff()), _CMP_EQ_OQ);
    w = _mm512_mask_blend_ps(near_limit, w, tiny.near_limit);
    w = _mm512_mask_blend_ps(below_limit, w, tiny.below_limit);
    return _mm512_mask_blend_ps(minus_infinity, w, _mm512_setzero_ps());
}

template <bool Fused>
struct ZoneCurveOp {
    const float* zone_a;
    const float* zone_b;
    std::size_t zones;
    UnderflowResults tiny;

    VELKOR_AVX512 __m512 vector(__m512 x, Lanes& special) const {
        __m512 m = _mm512_max_ps(x, splat(zone::kFloor));
        special = _mm512_cmp_ps_mask(m, splat(__builtin_inff()), _CMP_EQ_OQ);
        __mmask16 one = _mm512_cmp_ps_mask(m, splat(1.0f), _CMP_EQ_OQ);
        __m512 log_m = _mm512_mask_blend_ps(one, logf16<Fused>(m), _mm512_setzero_ps());
        __m512 z = _mm512_div_ps(log_m, splat(zone::kLn2));
        z = _mm512_add_ps(z, splat(zone::kFive));
        z = _mm512_add_ps(z, splat(zone::kMiddleGreyOffset));
        __m512 s = _mm512_setzero_ps();
        for (std::size_t i = 0; i < zones; ++i) {
            __m512 d = _mm512_sub_ps(z, splat(zone_a[i]));
            __m512 q = _mm512_div_ps(_mm512_mul_ps(d, d), splat(zone::kNegTwiceVariance));
            __m512 w = zone_weight<Fused>(q, tiny, special);
            s = _mm512_add_ps(s, _mm512_mul_ps(splat(zone_b[i]), w));
        }
        special |= magnitude_at_least(s, 0x43000000);
        return _mm512_mul_ps(x, exp2f16<Fused>(s));
    }
    float scalar(float x) const { return zone_curve_reference(x, zone_a, zone_b, zones); }
};

// ------------------------------------------------------------ entry points

template <bool Fused>
VELKOR_AVX512 void expf_avx512(const float* in, float* out, std::size_t n) {
    run(ExpfOp<Fused>{}, in, out, n);
}

template <bool Fused>
VELKOR_AVX512 void exp2f_avx512(const float* in, float* out, std::size_t n) {
    run(Exp2fOp<Fused>{}, in, out, n);
}

template <bool Fused>
VELKOR_AVX512 void logf_avx512(const float* in, float* out, std::size_t n) {
    run(LogfOp<Fused>{}, in, out, n);
}

template <bool Fused>
VELKOR_AVX512 void powf_avx512(const float* in, float* out, std::size_t n, float y) {
    std::uint32_t iy = std::bit_cast<std::uint32_t>(y);
    if (2 * iy - 1 >= 2u * 0x7f800000 - 1) {  // y zero, infinite or NaN
        kScalarKernels.powf(in, out, n, y);
        return;
    }
    run(PowfOp<Fused>{y, _mm512_set1_pd(y)}, in, out, n);
}

template <bool Fused>
VELKOR_AVX512 void encode_srgb_avx512(const float* in, float* out, std::size_t n) {
    run(EncodeSrgbOp<Fused>{_mm512_set1_pd(srgb::kExponent)}, in, out, n);
}

template <bool Fused>
VELKOR_AVX512 void zone_curve_avx512(const float* in, float* out, std::size_t n,
                                     const float* zone_a, const float* zone_b, std::size_t zones) {
    if (zones == 0) {
        kScalarKernels.zone_curve(in, out, n, zone_a, zone_b, zones);
        return;
    }
    run(ZoneCurveOp<Fused>{zone_a, zone_b, zones, underflow_results()}, in, out, n);
}

template <bool Fused>
constexpr KernelSet avx512_kernels() {
    return {expf_avx512<Fused>, exp2f_avx512<Fused>,       logf_avx512<Fused>,
            powf_avx512<Fused>, encode_srgb_avx512<Fused>, zone_curve_avx512<Fused>};
}

}  // namespace

const KernelSet kAvx512KernelsForFmaLibm = avx512_kernels<true>();
const KernelSet kAvx512KernelsForSse2Libm = avx512_kernels<false>();

}  // namespace velkor::simd
