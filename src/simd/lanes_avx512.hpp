#pragma once
// The AVX-512 lane type: sixteen floats, handled as two halves of eight
// doubles; comparisons give mask registers rather than vectors.
//
// Include only in a file compiled for AVX-512F, AVX2 and FMA (a `#pragma GCC
// target` ahead of the include), after every header of general use; see
// lanes_avx2.hpp, whose operations these mirror.
#include <immintrin.h>

#include <bit>
#include <cstdint>

#include "simd/libm_tables.hpp"

// GCC 12's AVX-512 intrinsics pass _mm512_undefined_*() as the merge source
// of their masked builtins and then warn about it at every use.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace velkor::simd {
namespace {

struct Avx512 {
    static constexpr int kLanes = 16;
    using F = __m512;
    using D = __m512d;
    using I = __m512i;
    using DI = __m512i;
    using FMask = __mmask16;
    using Bits = unsigned;

    struct Halves {
        D lower;
        D upper;
    };

    static F load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
    static F splat(float v) { return _mm512_set1_ps(v); }
    static D splat(double v) { return _mm512_set1_pd(v); }
    static I splat_u32(std::uint32_t v) { return _mm512_set1_epi32(static_cast<int>(v)); }
    static F zero() { return _mm512_setzero_ps(); }

    // In this order: see lanes_avx2.hpp.
    static F add_in_order(F a, F b) {
        F r;
        asm("vaddps %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
        return r;
    }
    static F mul_in_order(F a, F b) {
        F r;
        asm("vmulps %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
        return r;
    }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static F div(F a, F b) { return _mm512_div_ps(a, b); }
    static F max(F a, F b) { return _mm512_max_ps(a, b); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D fmadd(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D fmsub(D a, D b, D c) { return _mm512_fmsub_pd(a, b, c); }

    static I sub_u32(I a, I b) { return _mm512_sub_epi32(a, b); }
    static I and_bits(I a, I b) { return _mm512_and_si512(a, b); }
    static I shift_right_u32(I a, int n) { return _mm512_srli_epi32(a, n); }
    static I shift_right_i32(I a, int n) { return _mm512_srai_epi32(a, n); }
    static I as_ints(F v) { return _mm512_castps_si512(v); }
    static F as_floats(I v) { return _mm512_castsi512_ps(v); }
    static DI as_ints(D v) { return _mm512_castpd_si512(v); }

    static D lower(F x) { return _mm512_cvtps_pd(_mm512_castps512_ps256(x)); }
    static D upper(F x) {
        return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)));
    }
    static D lower_i32(I k) { return _mm512_cvtepi32_pd(_mm512_castsi512_si256(k)); }
    static D upper_i32(I k) { return _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(k, 1)); }
    static F to_float(D lower, D upper) {
        __m512d both = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(lower))),
                                          _mm256_castps_pd(_mm512_cvtpd_ps(upper)), 1);
        return _mm512_castpd_ps(both);
    }

    static Bits bits(FMask m) { return m; }
    static FMask less_equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ); }
    static FMask less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
    static FMask equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
    static FMask not_less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_NLT_UQ); }
    static F select(FMask m, F if_true, F if_false) { return _mm512_mask_blend_ps(m, if_false, if_true); }
    static F zero_where(FMask m, F v) { return _mm512_mask_blend_ps(m, v, _mm512_setzero_ps()); }
    static Bits equal_bits(F x, std::uint32_t pattern) {
        return _mm512_cmpeq_epi32_mask(as_ints(x), splat_u32(pattern));
    }

    static Bits magnitude_at_least(F x, std::uint32_t pattern) {
        I magnitude = _mm512_and_si512(as_ints(x), splat_u32(0x7fffffff));
        return _mm512_cmpgt_epi32_mask(magnitude, splat_u32(pattern - 1));
    }
    static Bits not_positive_normal(F x) {
        I ix = as_ints(x);
        return _mm512_cmpgt_epi32_mask(splat_u32(0x00800000), ix) |
               _mm512_cmpgt_epi32_mask(ix, splat_u32(0x7f7fffff));
    }
    static Bits top_bits_at_least(D v, long long limit) {
        DI top = _mm512_and_si512(_mm512_srli_epi64(as_ints(v), 47), _mm512_set1_epi64(0xffff));
        return _mm512_cmpge_epi64_mask(top, _mm512_set1_epi64(limit));
    }
    static Bits below_u32(I v, std::uint32_t limit) { return _mm512_cmplt_epu32_mask(v, splat_u32(limit)); }
    // Lanes whose low 32 bits (of lower's eight doubles, then upper's), less
    // `offset`, have every bit of `field` clear: a half at a time, in 64 bits,
    // where a borrow can only reach bits above the field.
    static Bits low_words_clear(D lower, D upper, std::uint32_t offset, std::uint32_t field) {
        const DI sub = _mm512_set1_epi64(offset), mask = _mm512_set1_epi64(field);
        unsigned lo = _mm512_testn_epi64_mask(_mm512_sub_epi64(as_ints(lower), sub), mask);
        unsigned hi = _mm512_testn_epi64_mask(_mm512_sub_epi64(as_ints(upper), sub), mask);
        return lo | (hi << 8);
    }

    static void stream(float* p, F v) { _mm512_stream_ps(p, v); }

    // Sixteen packed triples (48 floats) as three vectors: a permute over the
    // first 32 floats fills the lanes whose element lies there, a second one
    // the rest from the last 16.
    struct Triple {
        F x, y, z;
    };
    static Triple deinterleave3(const float* p) {
        F a = load(p), b = load(p + 16), c = load(p + 32);
        return {gather3<0>(a, b, c), gather3<1>(a, b, c), gather3<2>(a, b, c)};
    }

    static F opaque(F v) {
        __asm__("" : "+v"(v));
        return v;
    }

    // 2^(k/32): two vpermt2q lookups cover the 32-entry table, bit 4 of k picks.
    static D exp2_scale(DI ki) {
        const long long* table = reinterpret_cast<const long long*>(tables::kExp2);
        DI first = _mm512_permutex2var_epi64(_mm512_loadu_si512(table), ki, _mm512_loadu_si512(table + 8));
        DI second =
            _mm512_permutex2var_epi64(_mm512_loadu_si512(table + 16), ki, _mm512_loadu_si512(table + 24));
        __mmask8 upper16 = _mm512_test_epi64_mask(ki, _mm512_set1_epi64(16));
        DI t = _mm512_mask_blend_epi64(upper16, first, second);
        return _mm512_castsi512_pd(_mm512_add_epi64(t, _mm512_slli_epi64(ki, 52 - 5)));
    }

    // table[index % 16] by vpermt2pd over the 16 doubles, a half at a time.
    static Halves lookup16(const tables::LogTable& table, I index) {
        return {lookup16_half(table.value, _mm512_castsi512_si256(index)),
                lookup16_half(table.value, _mm512_extracti64x4_epi64(index, 1))};
    }
    static F lookup16(const float* table, I index) {
        return _mm512_permutexvar_ps(index, _mm512_loadu_ps(table));
    }
    // Small tables live in registers here: a lookup is a permute, cheaper
    // than loads from a large table.
    static constexpr bool kRegisterTables = true;
    // The indices widened to 64 bits, half by half, for lookups in doubles.
    struct WideIndex {
        DI lower;
        DI upper;
    };
    static WideIndex widen(I index) {
        return {_mm512_cvtepi32_epi64(_mm512_castsi512_si256(index)),
                _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(index, 1))};
    }
    // table[index % 16].
    static Halves lookup16(const double* table, const WideIndex& index) {
        return {lookup16_wide(table, index.lower), lookup16_wide(table, index.upper)};
    }
    static WideIndex shift_right(const WideIndex& index, int n) {
        return {_mm512_srai_epi64(index.lower, n), _mm512_srai_epi64(index.upper, n)};
    }
    static I add_u32(I a, I b) { return _mm512_add_epi32(a, b); }

private:
    // Lane i of the result is element 3i + K of the 48 floats a, b, c.
    struct Gather3Index {
        alignas(64) std::int32_t from_ab[16];
        alignas(64) std::int32_t then_c[16];
    };
    template <int K>
    static constexpr Gather3Index gather3_index() {
        Gather3Index index{};
        for (int i = 0; i < 16; ++i) {
            const int element = 3 * i + K;
            index.from_ab[i] = element < 32 ? element : 0;
            index.then_c[i] = element < 32 ? i : 16 + element - 32;
        }
        return index;
    }
    template <int K>
    static F gather3(F a, F b, F c) {
        static constexpr Gather3Index index = gather3_index<K>();
        F ab = _mm512_permutex2var_ps(a, _mm512_load_si512(index.from_ab), b);
        return _mm512_permutex2var_ps(ab, _mm512_load_si512(index.then_c), c);
    }

    static D lookup16_half(const double* table, __m256i index) {
        __m512i index64 = _mm512_cvtepu32_epi64(index);
        return _mm512_permutex2var_pd(_mm512_loadu_pd(table), index64, _mm512_loadu_pd(table + 8));
    }
    static D lookup16_wide(const double* table, DI index64) {
        return _mm512_permutex2var_pd(_mm512_loadu_pd(table), index64, _mm512_loadu_pd(table + 8));
    }
};

}  // namespace
}  // namespace velkor::simd
