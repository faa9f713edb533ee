// weighted_sum() on AVX vectors is always inlined into AVX2 functions, so no
// vector ever crosses a call; -Wpsabi's warning about such calls is moot.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "bw/weighted_sum_rows.hpp"

#include <immintrin.h>

namespace velkor {
namespace {

float pixel_sum(const float* rgb, ChannelWeights w) {
    return weighted_sum(rgb[0], rgb[1], rgb[2], w.r, w.g, w.b);
}

void packed_row_scalar(const float* rgb, float* out, std::size_t n, ChannelWeights w) {
    for (std::size_t i = 0; i < n; ++i) out[i] = pixel_sum(rgb + 3 * i, w);
}

void planar_row_scalar(const float* r, const float* g, const float* b, float* out, std::size_t n,
                       ChannelWeights w) {
    for (std::size_t i = 0; i < n; ++i) out[i] = weighted_sum(r[i], g[i], b[i], w.r, w.g, w.b);
}

// AVX2 only, deliberately without FMA: a fused multiply-add would change the
// bits, and without the FMA target the compiler cannot emit one.
#define VELKOR_AVX2 __attribute__((target("avx2")))

// Eight packed pixels are three vectors:
//   a = r0 g0 b0 r1 g1 b1 r2 g2,  b = b2 r3 g3 b3 r4 g4 b4 r5,
//   c = g5 b5 r6 g6 b6 r7 g7 b7.
// Each channel occupies disjoint lanes of a, b and c, so two blends gather
// it into one vector, in a scrambled order that one permute puts right.
struct Rgb8 {
    __m256 r, g, b;
};

VELKOR_AVX2 Rgb8 deinterleave8(const float* rgb) {
    __m256 a = _mm256_loadu_ps(rgb);
    __m256 b = _mm256_loadu_ps(rgb + 8);
    __m256 c = _mm256_loadu_ps(rgb + 16);
    // Blend masks: bit i takes lane i from the second operand.
    __m256 red = _mm256_blend_ps(_mm256_blend_ps(a, b, 0b10010010), c, 0b00100100);
    __m256 green = _mm256_blend_ps(_mm256_blend_ps(a, b, 0b00100100), c, 0b01001001);
    __m256 blue = _mm256_blend_ps(_mm256_blend_ps(a, b, 0b01001001), c, 0b10010010);
    return {_mm256_permutevar8x32_ps(red, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5)),
            _mm256_permutevar8x32_ps(green, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6)),
            _mm256_permutevar8x32_ps(blue, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7))};
}

VELKOR_AVX2 void packed_row_avx2(const float* rgb, float* out, std::size_t n, ChannelWeights w) {
    const __m256 wr = _mm256_set1_ps(w.r), wg = _mm256_set1_ps(w.g), wb = _mm256_set1_ps(w.b);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        Rgb8 px = deinterleave8(rgb + 3 * i);
        _mm256_storeu_ps(out + i, weighted_sum(px.r, px.g, px.b, wr, wg, wb));
    }
    packed_row_scalar(rgb + 3 * i, out + i, n - i, w);
}

VELKOR_AVX2 void planar_row_avx2(const float* r, const float* g, const float* b, float* out,
                                 std::size_t n, ChannelWeights w) {
    const __m256 wr = _mm256_set1_ps(w.r), wg = _mm256_set1_ps(w.g), wb = _mm256_set1_ps(w.b);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 sum = weighted_sum(_mm256_loadu_ps(r + i), _mm256_loadu_ps(g + i),
                                  _mm256_loadu_ps(b + i), wr, wg, wb);
        _mm256_storeu_ps(out + i, sum);
    }
    planar_row_scalar(r + i, g + i, b + i, out + i, n - i, w);
}

bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

}  // namespace

void weighted_sum_packed_row(const float* rgb, float* out, std::size_t n, ChannelWeights w) {
    if (cpu_has_avx2()) {
        packed_row_avx2(rgb, out, n, w);
    } else {
        packed_row_scalar(rgb, out, n, w);
    }
}

void weighted_sum_planar_row(const float* r, const float* g, const float* b, float* out,
                             std::size_t n, ChannelWeights w) {
    if (cpu_has_avx2()) {
        planar_row_avx2(r, g, b, out, n, w);
    } else {
        planar_row_scalar(r, g, b, out, n, w);
    }
}

void weighted_sum_strided_row(const float* first, std::ptrdiff_t pixel_step,
                              std::ptrdiff_t channel_step, float* out, std::size_t n,
                              ChannelWeights w) {
    const float* px = first;
    for (std::size_t i = 0; i < n; ++i, px += pixel_step) {
        out[i] = weighted_sum(px[0], px[channel_step], px[2 * channel_step], w.r, w.g, w.b);
    }
}

}  // namespace velkor
