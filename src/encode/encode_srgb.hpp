#pragma once
#include "error/velkor_error.hpp"
#include "image/image.hpp"

namespace velkor {

// The IEC 61966-2-1 sRGB transfer encoding (srgb.hpp) of every element of a
// C-contiguous (H, W, C) image.  A view that is not C-contiguous (and not
// empty) takes the internal-failure path.
Result<OwnedImage> encode_srgb(const ImageView& img);

}  // namespace velkor
