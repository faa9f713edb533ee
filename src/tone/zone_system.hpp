#pragma once
#include "error/shape_error.hpp"
#include "image/image.hpp"
#include "tone/zone_offsets.hpp"

namespace velkor {

// The kernel's refusals, in its order: a third extent other than 1 is a
// ShapeError; then a non-empty view that is not C-contiguous takes the
// internal-failure path.  The call frame runs this before it gives up the
// interpreter lock.
InputCheck check_zone_system_input(const ImageView& img);

// Applies the Zone System tone curve to an (H, W, 1) luminance image that
// passes the check above (it is checked again).  With no offsets the result
// is a bit-for-bit copy of the input.
Result<OwnedImage> zone_system(const ImageView& img, const ZoneOffsets& offsets);

}  // namespace velkor
