#pragma once
// The row loops of weighted_sum_rows.hpp over a lane type L (simd/lanes_*.hpp):
// include after L's header, in the file built for L's instruction set.
//
// Every pixel goes through weighted_sum(), whose operand order is pinned: a
// partial group of lanes is padded rather than handed to other code, so the
// bits (NaNs included) do not depend on where a row was split or how it is
// laid out.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "bw/weighted_sum_rows.hpp"

namespace velkor::weighted_sum_lanes {
namespace {

template <class L>
struct Weights {
    typename L::F r, g, b;
    explicit Weights(ChannelWeights w) : r(L::splat(w.r)), g(L::splat(w.g)), b(L::splat(w.b)) {}
};

// The arithmetic, once.
template <class L>
[[gnu::always_inline]] inline typename L::F weighted_sum(typename L::F r, typename L::F g, typename L::F b,
                                                          const Weights<L>& w) {
    typename L::F red = L::mul_in_order(r, w.r);
    typename L::F green = L::mul_in_order(g, w.g);
    typename L::F blue = L::mul_in_order(b, w.b);
    return L::add_in_order(L::add_in_order(red, green), blue);
}

template <class L, ChannelOrder Order>
[[gnu::always_inline]] inline typename L::F packed_group(const float* pixels, const Weights<L>& w) {
    typename L::Triple px = L::deinterleave3(pixels);
    return Order == ChannelOrder::Rgb ? weighted_sum<L>(px.x, px.y, px.z, w) : weighted_sum<L>(px.z, px.y, px.x, w);
}

// How far ahead of the loop the pixels are requested.  With the hardware
// prefetcher alone, one thread keeps too few cache misses in flight to
// stream the input at full speed; asking 2 KiB ahead made the loop 10%
// faster (1.5 to 2 KiB measured best).  The input is read once, hence the
// non-temporal hint.  Prefetches never fault, so reaching past the image is
// harmless.
constexpr std::uintptr_t kPrefetchBytes = 2048;

inline void prefetch_ahead(const float* pixels) {
    _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(pixels) + kPrefetchBytes),
                 _MM_HINT_NTA);
}

// Where a row's main loop starts.  Streaming stores need addresses aligned
// to the vector: when `out` is not, the first group is stored normally here
// and streaming resumes at the first aligned output, so a few pixels are
// computed twice, to the same bits.
template <class L, ChannelOrder Order, RowStores Stores>
std::size_t packed_head(const float* pixels, float* out, std::size_t n, const Weights<L>& w) {
    constexpr std::size_t kLanes = L::kLanes;
    if (Stores == RowStores::Cached || kLanes == 1 || n < kLanes) return 0;
    std::size_t misaligned = reinterpret_cast<std::uintptr_t>(out) % (kLanes * sizeof(float)) / sizeof(float);
    if (misaligned == 0) return 0;
    L::store(out, packed_group<L, Order>(pixels, w));
    return kLanes - misaligned;
}

template <class L, ChannelOrder Order, RowStores Stores>
void packed_row(const float* pixels, float* out, std::size_t n, ChannelWeights weights) {
    constexpr std::size_t kLanes = L::kLanes;
    const Weights<L> w(weights);
    std::size_t i = packed_head<L, Order, Stores>(pixels, out, n, w);
    for (; i + kLanes <= n; i += kLanes) {
        prefetch_ahead(pixels + 3 * i);
        typename L::F sums = packed_group<L, Order>(pixels + 3 * i, w);
        if constexpr (Stores == RowStores::Streaming) {
            L::stream(out + i, sums);
        } else {
            L::store(out + i, sums);
        }
    }
    if (i != n) {
        float padded[3 * kLanes] = {}, partial[kLanes];
        std::memcpy(padded, pixels + 3 * i, 3 * (n - i) * sizeof(float));
        L::store(partial, packed_group<L, Order>(padded, w));
        std::memcpy(out + i, partial, (n - i) * sizeof(float));
    }
    // Streaming stores are weakly ordered: without the fence they could
    // still be in flight when the caller reports the row done.
    if constexpr (Stores == RowStores::Streaming && kLanes > 1) _mm_sfence();
}

// Unit steps load whole vectors; any others are gathered a group at a time.
template <class L>
void planes_row(const float* r, const float* g, const float* b, std::ptrdiff_t step, float* out, std::size_t n,
                ChannelWeights weights) {
    constexpr std::size_t kLanes = L::kLanes;
    const Weights<L> w(weights);
    std::size_t i = 0;
    if (step == 1) {
        for (; i + kLanes <= n; i += kLanes) L::store(out + i, weighted_sum<L>(L::load(r + i), L::load(g + i), L::load(b + i), w));
    }
    for (; i < n; i += kLanes) {
        const std::size_t lanes = n - i < kLanes ? n - i : kLanes;
        float red[kLanes] = {}, green[kLanes] = {}, blue[kLanes] = {}, partial[kLanes];
        std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) * step;
        for (std::size_t k = 0; k < lanes; ++k, at += step) red[k] = r[at], green[k] = g[at], blue[k] = b[at];
        L::store(partial, weighted_sum<L>(L::load(red), L::load(green), L::load(blue), w));
        std::memcpy(out + i, partial, lanes * sizeof(float));
    }
}

template <class L>
constexpr WeightedSumRows rows_of() {
    return {{{packed_row<L, ChannelOrder::Rgb, RowStores::Cached>, packed_row<L, ChannelOrder::Rgb, RowStores::Streaming>},
             {packed_row<L, ChannelOrder::Bgr, RowStores::Cached>, packed_row<L, ChannelOrder::Bgr, RowStores::Streaming>}},
            planes_row<L>};
}

}  // namespace
}  // namespace velkor::weighted_sum_lanes
