#pragma once
// The sRGB transfer encoding over arrays, bit-identical to the scalar
// formula below evaluated with the process's libm powf.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace velkor::simd {

namespace srgb {
// Bit patterns, so no decimal-to-binary conversion can shift a constant.
inline const float kThreshold = std::bit_cast<float>(std::uint32_t{0x3B4D2E1C});  // 0.0031308
inline const float kSlope = std::bit_cast<float>(std::uint32_t{0x414EB852});      // 12.92
inline const float kExponent = std::bit_cast<float>(std::uint32_t{0x3ED55555});   // 1/2.4
inline const float kScale = std::bit_cast<float>(std::uint32_t{0x3F870A3D});      // 1.055
inline const float kOffset = std::bit_cast<float>(std::uint32_t{0xBD6147AE});     // -0.055
}  // namespace srgb

// The IEC 61966-2-1 encoding of one linear value, unclamped; every operation
// rounded to float on its own.  This is the reference the span must match.
inline float encode_srgb_reference(float x) {
    if (x <= srgb::kThreshold) return x * srgb::kSlope;
    // NaN fails the comparison above and lands here, where powf keeps it.
    float p = ::powf(x, srgb::kExponent);
    float scaled = p * srgb::kScale;
    return scaled + srgb::kOffset;
}

// out[i] = encode_srgb_reference(in[i]).  `in` and `out` may be the same
// array; otherwise they must not overlap.
void encode_srgb_span(const float* in, float* out, std::size_t n);

}  // namespace velkor::simd
