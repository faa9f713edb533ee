#pragma once
// The AVX2 lane type: eight floats, handled as two halves of four doubles.
//
// Include only in a file compiled for AVX2 and FMA (a `#pragma GCC target`
// ahead of the include), after every header of general use: everything here
// is internal to that file, so no AVX2 code can stand in for a portable
// definition elsewhere.  The operations are those the generic algorithms in
// libm_lanes.hpp and their users need, named after what they do.
#include <immintrin.h>

#include <bit>
#include <cstdint>

#include "simd/libm_tables.hpp"

namespace velkor::simd {
namespace {

struct Avx2 {
    static constexpr int kLanes = 8;
    using F = __m256;      // eight floats
    using D = __m256d;     // four doubles: half of an F
    using I = __m256i;     // eight 32-bit integers
    using DI = __m256i;    // four 64-bit integers
    using FMask = __m256;  // comparison result, all-ones lanes
    using Bits = unsigned; // one bit per float lane

    struct Halves {
        D lower;
        D upper;
    };

    static F load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
    static F splat(float v) { return _mm256_set1_ps(v); }
    static D splat(double v) { return _mm256_set1_pd(v); }
    static I splat_u32(std::uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
    static F zero() { return _mm256_setzero_ps(); }

    // a + b and a * b with the operands in this order.  Where both are NaN,
    // x86 returns the first; compilers treat these operations as commutative
    // and may swap the operands differently in each copy of a loop, so the
    // surviving NaN would depend on the code a value went through.
    static F add_in_order(F a, F b) {
        F r;
        asm("vaddps %2, %1, %0" : "=x"(r) : "x"(a), "x"(b));
        return r;
    }
    static F mul_in_order(F a, F b) {
        F r;
        asm("vmulps %2, %1, %0" : "=x"(r) : "x"(a), "x"(b));
        return r;
    }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F div(F a, F b) { return _mm256_div_ps(a, b); }
    // The second operand where the first is NaN, as maxps does.
    static F max(F a, F b) { return _mm256_max_ps(a, b); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D fmadd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D fmsub(D a, D b, D c) { return _mm256_fmsub_pd(a, b, c); }

    static I sub_u32(I a, I b) { return _mm256_sub_epi32(a, b); }
    static I and_bits(I a, I b) { return _mm256_and_si256(a, b); }
    static I shift_right_u32(I a, int n) { return _mm256_srli_epi32(a, n); }
    static I shift_right_i32(I a, int n) { return _mm256_srai_epi32(a, n); }
    static I as_ints(F v) { return _mm256_castps_si256(v); }
    static F as_floats(I v) { return _mm256_castsi256_ps(v); }
    static DI as_ints(D v) { return _mm256_castpd_si256(v); }

    static D lower(F x) { return _mm256_cvtps_pd(_mm256_castps256_ps128(x)); }
    static D upper(F x) { return _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)); }
    static D lower_i32(I k) { return _mm256_cvtepi32_pd(_mm256_castsi256_si128(k)); }
    static D upper_i32(I k) { return _mm256_cvtepi32_pd(_mm256_extracti128_si256(k, 1)); }
    // Rounds to float in the current rounding mode.
    static F to_float(D lower, D upper) {
        return _mm256_set_m128(_mm256_cvtpd_ps(upper), _mm256_cvtpd_ps(lower));
    }

    static Bits bits(FMask m) { return static_cast<Bits>(_mm256_movemask_ps(m)); }
    static FMask less_equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
    static FMask less(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static FMask equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
    // Not below: also true where either is NaN.
    static FMask not_less(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_NLT_UQ); }
    static F select(FMask m, F if_true, F if_false) { return _mm256_blendv_ps(if_false, if_true, m); }
    static F zero_where(FMask m, F v) { return _mm256_andnot_ps(m, v); }
    static Bits equal_bits(F x, std::uint32_t pattern) {
        return bits(_mm256_castsi256_ps(_mm256_cmpeq_epi32(as_ints(x), splat_u32(pattern))));
    }

    // Lanes whose magnitude has a bit pattern >= `pattern` (NaN included).
    static Bits magnitude_at_least(F x, std::uint32_t pattern) {
        I magnitude = _mm256_and_si256(as_ints(x), splat_u32(0x7fffffff));
        return bits(as_floats(_mm256_cmpgt_epi32(magnitude, splat_u32(pattern - 1))));
    }
    // Lanes that are not a positive, normal, finite float.
    static Bits not_positive_normal(F x) {
        I ix = as_ints(x);
        I too_small = _mm256_cmpgt_epi32(splat_u32(0x00800000), ix);  // also every negative
        I too_large = _mm256_cmpgt_epi32(ix, splat_u32(0x7f7fffff));
        return bits(as_floats(_mm256_or_si256(too_small, too_large)));
    }
    // Half-lanes whose bits, shifted right by 47 and cut to 16 bits, are >= `limit`.
    static Bits top_bits_at_least(D v, long long limit) {
        DI top = _mm256_and_si256(_mm256_srli_epi64(as_ints(v), 47), _mm256_set1_epi64x(0xffff));
        DI out = _mm256_cmpgt_epi64(top, _mm256_set1_epi64x(limit - 1));
        return static_cast<Bits>(_mm256_movemask_pd(_mm256_castsi256_pd(out)));
    }
    // Lanes where every bit of `field` is clear.
    // Lanes whose low 32 bits (of lower's four doubles, then upper's), less
    // `offset`, have every bit of `field` clear.
    static Bits low_words_clear(D lower, D upper, std::uint32_t offset, std::uint32_t field) {
        I v = _mm256_and_si256(sub_u32(low_words(lower, upper), splat_u32(offset)), splat_u32(field));
        return bits(as_floats(_mm256_cmpeq_epi32(v, _mm256_setzero_si256())));
    }

    // Stores around the cache; `p` must be aligned to the vector's size.
    static void stream(float* p, F v) { _mm256_stream_ps(p, v); }

    // Eight packed triples (24 floats: x0 y0 z0 x1 ...) as three vectors:
    //   a = x0 y0 z0 x1 y1 z1 x2 y2,  b = z2 x3 y3 z3 x4 y4 z4 x5,
    //   c = y5 z5 x6 y6 z6 x7 y7 z7.
    // Each of x, y, z occupies disjoint lanes of a, b and c, so two blends
    // gather it into one vector, in a scrambled order one permute puts right.
    struct Triple {
        F x, y, z;
    };
    static Triple deinterleave3(const float* p) {
        F a = load(p), b = load(p + 8), c = load(p + 16);
        // Blend masks: bit i takes lane i from the second operand.
        F x = _mm256_blend_ps(_mm256_blend_ps(a, b, 0b10010010), c, 0b00100100);
        F y = _mm256_blend_ps(_mm256_blend_ps(a, b, 0b00100100), c, 0b01001001);
        F z = _mm256_blend_ps(_mm256_blend_ps(a, b, 0b01001001), c, 0b10010010);
        return {_mm256_permutevar8x32_ps(x, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5)),
                _mm256_permutevar8x32_ps(y, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6)),
                _mm256_permutevar8x32_ps(z, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7))};
    }

    // A value the compiler cannot see through, so arithmetic on it happens at
    // run time in the caller's rounding mode instead of being folded.
    static F opaque(F v) {
        __asm__("" : "+x"(v));
        return v;
    }

    // 2^(k/32) for four lanes: the table entry for k % 32 with the exponent
    // bits k << 47 added.  A gather measured faster here than permutes over
    // the 32-entry table; the masked form with a zero source says the same as
    // the plain one without GCC's warning about an undefined source.
    static D exp2_scale(DI ki) {
        DI index = _mm256_and_si256(ki, _mm256_set1_epi64x(31));
        DI t = _mm256_mask_i64gather_epi64(_mm256_setzero_si256(),
                                           reinterpret_cast<const long long*>(tables::kExp2), index,
                                           _mm256_set1_epi64x(-1), 8);
        return _mm256_castsi256_pd(_mm256_add_epi64(t, _mm256_slli_epi64(ki, 52 - 5)));
    }

    // table[index % 16] for eight lanes, from the table's split 32-bit words
    // by register permutes and a blend: faster than gathers here.
    static Halves lookup16(const tables::LogTable& table, I index) {
        I low = words16(table.low, index);
        I high = words16(table.high, index);
        I lanes0145 = _mm256_unpacklo_epi32(low, high);
        I lanes2367 = _mm256_unpackhi_epi32(low, high);
        return {_mm256_castsi256_pd(_mm256_permute2x128_si256(lanes0145, lanes2367, 0x20)),
                _mm256_castsi256_pd(_mm256_permute2x128_si256(lanes0145, lanes2367, 0x31))};
    }
    static F lookup16(const float* table, I index) {
        F first = _mm256_permutevar8x32_ps(_mm256_loadu_ps(table), index);
        F second = _mm256_permutevar8x32_ps(_mm256_loadu_ps(table + 8), index);
        return _mm256_blendv_ps(first, second, index_bit3(index));
    }
    // Lookups in tables of more than 16 floats go to memory.
    static constexpr bool kRegisterTables = false;
    // base[index] for eight lanes: scalar loads measured about 10% faster
    // than two gathers (AMD Zen 3).
    static Halves gather(const double* base, I index) {
        alignas(32) std::int32_t i[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(i), index);
        return {_mm256_setr_pd(base[i[0]], base[i[1]], base[i[2]], base[i[3]]),
                _mm256_setr_pd(base[i[4]], base[i[5]], base[i[6]], base[i[7]])};
    }
    // The low 32 bits of each double, in lane order.
    static I low_words(D lower, D upper) {
        F words = _mm256_shuffle_ps(_mm256_castpd_ps(lower), _mm256_castpd_ps(upper), 0x88);
        return _mm256_permute4x64_epi64(_mm256_castps_si256(words), 0xd8);
    }

private:
    // Sign bit set where bit 3 of the index is set.
    static F index_bit3(I index) { return _mm256_castsi256_ps(_mm256_slli_epi32(index, 28)); }
    static I words16(const std::uint32_t* words, I index) {
        I first = _mm256_permutevar8x32_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(words)), index);
        I second = _mm256_permutevar8x32_epi32(
            _mm256_load_si256(reinterpret_cast<const __m256i*>(words + 8)), index);
        return _mm256_castps_si256(
            _mm256_blendv_ps(_mm256_castsi256_ps(first), _mm256_castsi256_ps(second), index_bit3(index)));
    }
};

}  // namespace
}  // namespace velkor::simd
