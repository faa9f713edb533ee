// weighted_sum() on AVX vectors is always inlined into AVX2 functions, so no
// vector ever crosses a call; -Wpsabi's warning about such calls is moot.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "bw/weighted_sum_rows.hpp"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "parallel/compute_once.hpp"

namespace velkor {
namespace {

// Offsets of red and blue inside a packed pixel; green is always at 1.
template <ChannelOrder Order>
constexpr std::size_t kRed = Order == ChannelOrder::Rgb ? 0 : 2;
template <ChannelOrder Order>
constexpr std::size_t kBlue = 2 - kRed<Order>;

template <ChannelOrder Order>
float pixel_sum(const float* px, ChannelWeights w) {
    return weighted_sum(px[kRed<Order>], px[1], px[kBlue<Order>], w.r, w.g, w.b);
}

template <ChannelOrder Order>
void packed_row_scalar(const float* pixels, float* out, std::size_t n, ChannelWeights w) {
    for (std::size_t i = 0; i < n; ++i) out[i] = pixel_sum<Order>(pixels + 3 * i, w);
}

void planar_row_scalar(const float* r, const float* g, const float* b, float* out, std::size_t n,
                       ChannelWeights w) {
    for (std::size_t i = 0; i < n; ++i) out[i] = weighted_sum(r[i], g[i], b[i], w.r, w.g, w.b);
}

// AVX2 only, deliberately without FMA: a fused multiply-add would change the
// bits, and without the FMA target the compiler cannot emit one.
#define VELKOR_AVX2 __attribute__((target("avx2")))

// Eight lanes whose additions and multiplications keep their operand order.
// When two NaNs meet, x86 returns the first source; compilers treat these
// operations as commutative and may swap the operands differently in each
// copy of a loop, which would make the surviving NaN depend on the code path
// a pixel took.  The instructions are pinned with inline assembly instead.
struct Lanes {
    __m256 v;
};

VELKOR_AVX2 inline Lanes operator*(Lanes a, Lanes b) {
    __m256 r;
    asm("vmulps %2, %1, %0" : "=x"(r) : "x"(a.v), "x"(b.v));
    return {r};
}

VELKOR_AVX2 inline Lanes operator+(Lanes a, Lanes b) {
    __m256 r;
    asm("vaddps %2, %1, %0" : "=x"(r) : "x"(a.v), "x"(b.v));
    return {r};
}

VELKOR_AVX2 inline __m256 lanes_sum(__m256 r, __m256 g, __m256 b, __m256 wr, __m256 wg, __m256 wb) {
    return weighted_sum(Lanes{r}, Lanes{g}, Lanes{b}, Lanes{wr}, Lanes{wg}, Lanes{wb}).v;
}

// Eight packed pixels are three vectors (channels named in RGB order):
//   a = r0 g0 b0 r1 g1 b1 r2 g2,  b = b2 r3 g3 b3 r4 g4 b4 r5,
//   c = g5 b5 r6 g6 b6 r7 g7 b7.
// Each channel occupies disjoint lanes of a, b and c, so two blends gather
// it into one vector, in a scrambled order that one permute puts right.
struct Channels8 {
    __m256 first, second, third;  // in memory order
};

VELKOR_AVX2 Channels8 deinterleave8(const float* pixels) {
    __m256 a = _mm256_loadu_ps(pixels);
    __m256 b = _mm256_loadu_ps(pixels + 8);
    __m256 c = _mm256_loadu_ps(pixels + 16);
    // Blend masks: bit i takes lane i from the second operand.
    __m256 first = _mm256_blend_ps(_mm256_blend_ps(a, b, 0b10010010), c, 0b00100100);
    __m256 second = _mm256_blend_ps(_mm256_blend_ps(a, b, 0b00100100), c, 0b01001001);
    __m256 third = _mm256_blend_ps(_mm256_blend_ps(a, b, 0b01001001), c, 0b10010010);
    return {_mm256_permutevar8x32_ps(first, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5)),
            _mm256_permutevar8x32_ps(second, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6)),
            _mm256_permutevar8x32_ps(third, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7))};
}

// On AVX2 machines every pixel goes through lanes_sum, whose operand order is
// pinned: a partial group of eight is padded rather than handed to scalar
// code, so the bits (NaNs included) do not depend on where a row was split
// or how it is laid out.
template <ChannelOrder Order>
VELKOR_AVX2 __m256 packed_group(const float* pixels, __m256 wr, __m256 wg, __m256 wb) {
    Channels8 px = deinterleave8(pixels);
    __m256 red = Order == ChannelOrder::Rgb ? px.first : px.third;
    __m256 blue = Order == ChannelOrder::Rgb ? px.third : px.first;
    return lanes_sum(red, px.second, blue, wr, wg, wb);
}

// How far ahead of the loop the pixels are requested.  With the hardware
// prefetcher alone, one thread keeps too few cache misses in flight to
// stream the input at full speed; asking 2 KiB ahead made the loop 10%
// faster (1.5 to 2 KiB measured best).  The input is read once, hence the
// non-temporal hint.  Prefetches never fault, so reaching past the image is
// harmless.
constexpr std::uintptr_t kPrefetchBytes = 2048;

VELKOR_AVX2 inline void prefetch_ahead(const float* pixels) {
    _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(pixels) + kPrefetchBytes),
                 _MM_HINT_NTA);
}

template <RowStores Stores>
VELKOR_AVX2 inline void store8(float* out, __m256 sums) {
    if constexpr (Stores == RowStores::Streaming) {
        _mm256_stream_ps(out, sums);
    } else {
        _mm256_storeu_ps(out, sums);
    }
}

// Where a row's main loop starts.  Streaming stores need 32-byte
// aligned addresses: when `out` is not, the first eight pixels are stored
// normally here and streaming resumes at the first aligned output, so up to
// seven pixels are computed twice, to the same bits.
template <ChannelOrder Order, RowStores Stores>
VELKOR_AVX2 std::size_t packed_head(const float* pixels, float* out, std::size_t n, __m256 wr, __m256 wg,
                                    __m256 wb) {
    if (Stores == RowStores::Cached || n < 8) return 0;
    std::size_t misaligned = reinterpret_cast<std::uintptr_t>(out) % 32 / sizeof(float);
    if (misaligned == 0) return 0;
    _mm256_storeu_ps(out, packed_group<Order>(pixels, wr, wg, wb));
    return 8 - misaligned;
}

template <ChannelOrder Order, RowStores Stores>
VELKOR_AVX2 void packed_row_avx2(const float* pixels, float* out, std::size_t n, ChannelWeights w) {
    const __m256 wr = _mm256_set1_ps(w.r), wg = _mm256_set1_ps(w.g), wb = _mm256_set1_ps(w.b);
    std::size_t i = packed_head<Order, Stores>(pixels, out, n, wr, wg, wb);
    for (; i + 8 <= n; i += 8) {
        prefetch_ahead(pixels + 3 * i);
        store8<Stores>(out + i, packed_group<Order>(pixels + 3 * i, wr, wg, wb));
    }
    if (i != n) {
        float padded[24] = {}, partial[8];
        std::memcpy(padded, pixels + 3 * i, 3 * (n - i) * sizeof(float));
        _mm256_storeu_ps(partial, packed_group<Order>(padded, wr, wg, wb));
        std::memcpy(out + i, partial, (n - i) * sizeof(float));
    }
    // Streaming stores are weakly ordered: without the fence they could
    // still be in flight when the caller reports the row done.
    if constexpr (Stores == RowStores::Streaming) _mm_sfence();
}

// `n` pixels of three planes whose elements are `step` apart: unit steps are
// the channel-first layout, any others are gathered eight at a time.
VELKOR_AVX2 void planar_row_avx2(const float* r, const float* g, const float* b, std::ptrdiff_t step,
                                 float* out, std::size_t n, ChannelWeights w) {
    const __m256 wr = _mm256_set1_ps(w.r), wg = _mm256_set1_ps(w.g), wb = _mm256_set1_ps(w.b);
    std::size_t i = 0;
    if (step == 1) {
        for (; i + 8 <= n; i += 8) {
            __m256 sum = lanes_sum(_mm256_loadu_ps(r + i), _mm256_loadu_ps(g + i), _mm256_loadu_ps(b + i), wr, wg, wb);
            _mm256_storeu_ps(out + i, sum);
        }
    }
    for (; i < n; i += 8) {
        std::size_t lanes = n - i < 8 ? n - i : 8;
        float red[8] = {}, green[8] = {}, blue[8] = {}, partial[8];
        std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) * step;
        for (std::size_t k = 0; k < lanes; ++k, at += step) red[k] = r[at], green[k] = g[at], blue[k] = b[at];
        __m256 sum = lanes_sum(_mm256_loadu_ps(red), _mm256_loadu_ps(green), _mm256_loadu_ps(blue), wr, wg, wb);
        _mm256_storeu_ps(partial, sum);
        std::memcpy(out + i, partial, lanes * sizeof(float));
    }
}

// Without a lock, so that a fork() during the check leaves no busy guard.
parallel::ComputeOnce<bool> avx2;

bool cpu_has_avx2() {
    return avx2.get([] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    });
}

template <ChannelOrder Order>
void packed_row(const float* pixels, float* out, std::size_t n, ChannelWeights w, RowStores stores) {
    if (!cpu_has_avx2()) {
        packed_row_scalar<Order>(pixels, out, n, w);
    } else if (stores == RowStores::Streaming) {
        packed_row_avx2<Order, RowStores::Streaming>(pixels, out, n, w);
    } else {
        packed_row_avx2<Order, RowStores::Cached>(pixels, out, n, w);
    }
}

}  // namespace

void weighted_sum_packed_row(const float* pixels, ChannelOrder order, float* out, std::size_t n,
                             ChannelWeights w, RowStores stores) {
    if (order == ChannelOrder::Rgb) {
        packed_row<ChannelOrder::Rgb>(pixels, out, n, w, stores);
    } else {
        packed_row<ChannelOrder::Bgr>(pixels, out, n, w, stores);
    }
}

void weighted_sum_planar_row(const float* r, const float* g, const float* b, float* out,
                             std::size_t n, ChannelWeights w) {
    if (cpu_has_avx2()) {
        planar_row_avx2(r, g, b, 1, out, n, w);
    } else {
        planar_row_scalar(r, g, b, out, n, w);
    }
}

void weighted_sum_strided_row(const float* first, std::ptrdiff_t pixel_step,
                              std::ptrdiff_t channel_step, float* out, std::size_t n,
                              ChannelWeights w) {
    if (cpu_has_avx2()) {
        planar_row_avx2(first, first + channel_step, first + 2 * channel_step, pixel_step, out, n, w);
        return;
    }
    const float* px = first;
    for (std::size_t i = 0; i < n; ++i, px += pixel_step) {
        out[i] = weighted_sum(px[0], px[channel_step], px[2 * channel_step], w.r, w.g, w.b);
    }
}

}  // namespace velkor
