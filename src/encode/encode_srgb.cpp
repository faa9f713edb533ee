#include "encode/encode_srgb.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "error/internal_failure.hpp"
#include "image/contiguity.hpp"
#include "parallel/parallel.hpp"

namespace velkor {
namespace {

// Bit patterns, so no decimal-to-binary conversion can shift a constant.
const float kThreshold = std::bit_cast<float>(std::uint32_t{0x3B4D2E1C});  // 0.0031308
const float kSlope = std::bit_cast<float>(std::uint32_t{0x414EB852});      // 12.92
const float kExponent = std::bit_cast<float>(std::uint32_t{0x3ED55555});   // 1/2.4
const float kScale = std::bit_cast<float>(std::uint32_t{0x3F870A3D});      // 1.055
const float kOffset = std::bit_cast<float>(std::uint32_t{0xBD6147AE});     // -0.055

}  // namespace

float encode_srgb_value(float x) {
    if (x <= kThreshold) return x * kSlope;
    // NaN fails the comparison above and lands here, where powf keeps it.
    float p = ::powf(x, kExponent);
    float scaled = p * kScale;
    return scaled + kOffset;
}

Result<OwnedImage> encode_srgb(const ImageView& img) {
    if (img.count() != 0 && !is_c_contiguous(img)) {
        internal_failure("encode_srgb: input must be C-contiguous");
    }
    OwnedImage out = OwnedImage::uninitialized(img.h, img.w, img.c);
    const float* in = img.origin;
    float* dst = out.pixels.data();
    parallel::for_range(img.count(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) dst[i] = encode_srgb_value(in[i]);
    });
    return out;
}

}  // namespace velkor
