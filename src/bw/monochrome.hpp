#pragma once
// RGB to one-channel luminance: a weighted sum of each pixel's red, green
// and blue values, with the weights chosen three ways.
#include "bw/coefficients.hpp"
#include "error/shape_error.hpp"
#include "image/image.hpp"

namespace velkor {

// (H, W, 3) -> (H, W, 1): out = ((r * w.r) + (g * w.g)) + (b * w.b) for every
// pixel, read through the view's steps whatever they are.  A last axis other
// than 3 is a ShapeError.
Result<OwnedImage> weighted_sum_image(const ImageView& img, ChannelWeights w);

// The weights of a filter followed by a standard: one product per channel.
ChannelWeights filtered_weights(ColorFilter filter, LuminanceStandard standard);

Result<OwnedImage> luminance_bw(const ImageView& img, LuminanceStandard standard);
Result<OwnedImage> color_filter_bw(const ImageView& img, ColorFilter filter, LuminanceStandard standard);
Result<OwnedImage> channel_mixer_bw(const ImageView& img, ChannelWeights w);

}  // namespace velkor
