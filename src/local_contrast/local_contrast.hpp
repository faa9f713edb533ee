#pragma once
#include <cstdint>

#include "error/shape_error.hpp"
#include "image/image.hpp"

namespace velkor {

// Local-contrast enhancement of an (H, W, 1) luminance image of any layout:
// out = L + ((L - q) * strength) in single precision, q the guided filter of
// L by itself with the given radius and eps.  Nothing is clamped; every NaN
// of the output is the quiet NaN 0x7fc00000, whatever NaNs the input held.
// Another channel count is reported as a ShapeError before any work is done.
Result<OwnedImage> local_contrast(const ImageView& img, std::uint32_t radius, float eps,
                                  float strength);

}  // namespace velkor
