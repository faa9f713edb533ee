#include "encode/encode_srgb.hpp"

#include "encode/srgb_span.hpp"
#include "error/internal_failure.hpp"
#include "parallel/parallel.hpp"

namespace velkor {

InputCheck check_encode_srgb_input(const ImageView& img) {
    if (img.count() != 0 && !img.c_contiguous) internal_failure("encode_srgb: input must be C-contiguous");
    return std::nullopt;
}

Result<OwnedImage> encode_srgb(const ImageView& img) {
    check_encode_srgb_input(img);
    OwnedImage out = OwnedImage::uninitialized(img.h, img.w, img.c);
    const float* in = img.origin;
    float* dst = out.pixels.data();
    // The span function gives every element the bits of the scalar formula,
    // so the result does not depend on how the loop splits the range.
    parallel::for_range(img.count(), [&](std::size_t begin, std::size_t end) {
        srgb::encode_span(in + begin, dst + begin, end - begin);
    });
    return out;
}

}  // namespace velkor
