#pragma once
#include "error/shape_error.hpp"
#include "image/image.hpp"

namespace velkor {

// A view that is not C-contiguous (and not empty) takes the internal-failure
// path; nothing else is refused.  The call frame runs this before it gives
// up the interpreter lock.
InputCheck check_encode_srgb_input(const ImageView& img);

// The IEC 61966-2-1 sRGB transfer encoding (srgb.hpp) of every element of an
// (H, W, C) image that passes the check above (it is checked again).
Result<OwnedImage> encode_srgb(const ImageView& img);

}  // namespace velkor
