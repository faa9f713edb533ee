#pragma once
// Row loops of the RGB weighted sum ((r * wr) + (g * wg)) + (b * wb): three
// rounded multiplications, then two rounded additions in that order.  One
// source (weighted_sum_lanes.hpp) is built for each instruction set; every
// build performs exactly these five binary32 operations per pixel, with the
// operands in this order, so they all give the same bits, NaNs included.
#include <cstddef>

#include "bw/coefficients.hpp"
#include "simd/choose.hpp"

namespace velkor {

// Memory order of the channels of a packed pixel.  BGR is RGB read through a
// reversed channel axis (img[..., ::-1] of an OpenCV-style image).
enum class ChannelOrder { Rgb, Bgr };

// How a row's results are written.  Streaming stores go around the cache
// (non-temporal): for an output too large to stay cached until someone reads
// it, they spare the memory system fetching each output line before
// overwriting it.  For a small output they are slower, and evict it from the
// cache where its reader would have found it.  A row that streams fences its
// stores before returning, so callers need no fence of their own.
enum class RowStores { Cached, Streaming };

// The row loops of one instruction set.
struct WeightedSumRows {
    // `n` packed pixels, three consecutive floats each (the C-contiguous row
    // of an (H, W, 3) array), into `n` consecutive outputs.  `pixels` is the
    // lowest address of the first pixel, whatever channel lives there.
    using Packed = void (*)(const float* pixels, float* out, std::size_t n, ChannelWeights w);
    Packed packed[2][2];  // [ChannelOrder][RowStores]

    // `n` pixels of three planes whose elements are `step` apart (any sign,
    // zero included); a step of 1 is the channel-first layout.
    void (*planes)(const float* r, const float* g, const float* b, std::ptrdiff_t step, float* out,
                   std::size_t n, ChannelWeights w);

    void packed_row(const float* pixels, ChannelOrder order, float* out, std::size_t n, ChannelWeights w,
                    RowStores stores = RowStores::Cached) const {
        packed[static_cast<int>(order)][static_cast<int>(stores)](pixels, out, n, w);
    }
};

// Each instruction set's file defines its loops.
extern const WeightedSumRows kScalarWeightedSumRows;
extern const WeightedSumRows kAvx2WeightedSumRows;
extern const WeightedSumRows kAvx512WeightedSumRows;

inline constexpr simd::Variants<const WeightedSumRows*> kWeightedSumVariants{
    &kScalarWeightedSumRows, &kAvx2WeightedSumRows, &kAvx512WeightedSumRows};

// The loops of the level chosen for this process (simd/choose.hpp).
const WeightedSumRows& weighted_sum_rows();

}  // namespace velkor
