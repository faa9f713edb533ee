#pragma once
// Row loops of the RGB weighted sum ((r * wr) + (g * wg)) + (b * wb): three
// rounded multiplications, then two rounded additions in that order.  Every
// form below performs exactly these five binary32 operations per pixel, so
// they all give the same bits.
#include <cstddef>

#include "bw/coefficients.hpp"

namespace velkor {

// The arithmetic, once, for a scalar or a vector of lanes.  Always inlined,
// so the vector form compiles with its caller's target.
template <class V>
[[gnu::always_inline]] inline V weighted_sum(V r, V g, V b, V wr, V wg, V wb) {
    V red = r * wr;
    V green = g * wg;
    V blue = b * wb;
    return (red + green) + blue;
}

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

// `n` packed pixels, three consecutive floats each (the C-contiguous row of
// an (H, W, 3) array), into `n` consecutive outputs.  `pixels` is the lowest
// address of the first pixel, whatever channel lives there.
void weighted_sum_packed_row(const float* pixels, ChannelOrder order, float* out, std::size_t n,
                             ChannelWeights w, RowStores stores = RowStores::Cached);

// `n` pixels of three unit-stride planes (a channel-first array).
void weighted_sum_planar_row(const float* r, const float* g, const float* b, float* out,
                             std::size_t n, ChannelWeights w);

// `n` pixels starting at `first` (its red element), `pixel_step` elements
// apart, channels `channel_step` apart; any sign, zero included.
void weighted_sum_strided_row(const float* first, std::ptrdiff_t pixel_step,
                              std::ptrdiff_t channel_step, float* out, std::size_t n,
                              ChannelWeights w);

}  // namespace velkor
