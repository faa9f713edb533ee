#pragma once
#include <cstdint>

#include "error/shape_error.hpp"
#include "image/image.hpp"
#include "local_contrast/guided_filter.hpp"

namespace velkor {

// Local-contrast enhancement of an (H, W, 1) luminance image of any layout:
// out = L + ((L - q) * strength) in single precision, q the guided filter of
// L by itself with the given radius and eps.  Nothing is clamped; every NaN
// of the output is the quiet NaN 0x7fc00000, whatever NaNs the input held.
// Another channel count is reported as a ShapeError before any work is done.
Result<OwnedImage> local_contrast(const ImageView& img, std::uint32_t radius, float eps,
                                  float strength);

// A piece of local_contrast(the whole image), bit for bit: its rows and
// columns from the image's rows and columns their windows reach
// (luminance_first() to luminance_end() of each), continuing the tables of
// the pieces above and to the left (see FilterCarry).  Pixels that do not
// match the piece are reported as a ShapeError.
InputCheck check_local_contrast_piece(const ImageView& img, const FilterPiece& piece);
Result<OwnedImage> local_contrast_piece(const ImageView& img, const FilterPiece& piece, float eps, float strength,
                                        const FilterCarry& carry);

}  // namespace velkor
