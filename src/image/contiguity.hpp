#pragma once
#include "image/image.hpp"

namespace velkor {

// NumPy's C-contiguity: axes of extent 1 are ignored, every other axis must
// step over exactly the elements of the axes after it.  The frame judges the
// caller's byte strides and records the answer in the view, because an
// unaligned array reaches the kernel as a contiguous copy.
inline bool is_c_contiguous(const ImageView& img) { return img.c_contiguous; }

}  // namespace velkor
