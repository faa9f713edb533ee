#pragma once
#include "error/velkor_error.hpp"
#include "image/image.hpp"
#include "tone/zone_offsets.hpp"

namespace velkor {

// Applies the Zone System tone curve to a C-contiguous (H, W, 1) luminance
// image.  A third extent other than 1 is a VelkorError; a non-empty view
// that is not C-contiguous takes the internal-failure path.  With no offsets
// the result is a bit-for-bit copy of the input.
Result<OwnedImage> zone_system(const ImageView& img, const ZoneOffsets& offsets);

}  // namespace velkor
