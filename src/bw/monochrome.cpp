#include "bw/monochrome.hpp"

#include "bw/weighted_sum_rows.hpp"
#include "parallel/parallel.hpp"

namespace velkor {
namespace {

// Outputs from this size on are written around the cache.  Below it the
// packed input and the output (four times as many bytes) fit together in a
// large last-level cache, where the next kernel finds the result; above it
// the output is evicted before anyone reads it, and streaming it to memory
// saves reading each output line before overwriting it, a fifth of the
// traffic.  Measured on one thread: about 10% faster at 6 and 24 megapixels
// when the allocator hands back memory already mapped, no slower on a fresh
// mapping, and slower below this size.
constexpr std::size_t kStreamingOutputBytes = std::size_t{8} << 20;

// Writes out[y][x0, x1) for one input row, by the fastest loop its layout
// allows.  The loops differ only in how they reach r, g and b.
void weighted_sum_row(const WeightedSumRows& rows, const ImageView& img, std::size_t y, std::size_t x0,
                      std::size_t x1, float* out, ChannelWeights w, RowStores stores) {
    const std::ptrdiff_t pixel_step = img.step[1], channel_step = img.step[2];
    const float* first = img.origin + static_cast<std::ptrdiff_t>(y) * img.step[0] +
                         static_cast<std::ptrdiff_t>(x0) * pixel_step;
    const std::size_t n = x1 - x0;
    if (channel_step == 1 && pixel_step == 3) {
        rows.packed_row(first, ChannelOrder::Rgb, out, n, w, stores);
    } else if (channel_step == -1 && pixel_step == 3) {
        rows.packed_row(first - 2, ChannelOrder::Bgr, out, n, w, stores);
    } else {
        rows.planes(first, first + channel_step, first + 2 * channel_step, pixel_step, out, n, w);
    }
}

}  // namespace

Result<OwnedImage> weighted_sum_image(const ImageView& img, ChannelWeights w) {
    if (img.c != 3) return ShapeError{"expected (H, W, 3) RGB array, got shape " + img.shape_text()};
    // Every element is written exactly once below, so the buffer needs no
    // zero fill first (that would be a whole extra pass over the output).
    OwnedImage out = OwnedImage::uninitialized(img.h, img.w, 1);
    float* pixels = out.pixels.data();
    const std::size_t width = img.w;
    const RowStores stores =
        out.pixels.size() * sizeof(float) >= kStreamingOutputBytes ? RowStores::Streaming : RowStores::Cached;
    const WeightedSumRows& rows = weighted_sum_rows();
    parallel::for_blocks(img.h, img.w, [&](const parallel::Block& block) {
        for (std::size_t y = block.row_begin; y < block.row_end; ++y) {
            weighted_sum_row(rows, img, y, block.col_begin, block.col_end, pixels + y * width + block.col_begin, w, stores);
        }
    });
    return out;
}

ChannelWeights filtered_weights(ColorFilter filter, LuminanceStandard standard) {
    ChannelWeights t = filter_transmission(filter);
    ChannelWeights y = luminance_weights(standard);
    return {t.r * y.r, t.g * y.g, t.b * y.b};
}

Result<OwnedImage> luminance_bw(const ImageView& img, LuminanceStandard standard) {
    return weighted_sum_image(img, luminance_weights(standard));
}

Result<OwnedImage> color_filter_bw(const ImageView& img, ColorFilter filter, LuminanceStandard standard) {
    return weighted_sum_image(img, filtered_weights(filter, standard));
}

Result<OwnedImage> channel_mixer_bw(const ImageView& img, ChannelWeights w) {
    return weighted_sum_image(img, w);
}

}  // namespace velkor
