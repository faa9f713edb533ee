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

// Rows span.first to span.end of local_contrast(the whole image), bit for
// bit, from the rows of the image their windows reach
// (span.luminance_first() to luminance_end()) and the table rows `carried`
// from the band above (kTableCarryRows * width doubles; not read where the
// band starts within the radius of row 0).  Fills `next` likewise for the
// band starting at span.end.  Rows that do not match the span are reported
// as a ShapeError.
InputCheck check_local_contrast_rows(const ImageView& img, const FilterRows& span);
Result<OwnedImage> local_contrast_rows(const ImageView& img, const FilterRows& span, float eps, float strength,
                                       const double* carried, double* next);

}  // namespace velkor
