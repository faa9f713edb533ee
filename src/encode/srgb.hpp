#pragma once
// The IEC 61966-2-1 sRGB transfer encoding of one linear value: the
// reference that the vector forms in srgb_lanes.hpp match bit for bit.
#include <bit>
#include <cmath>
#include <cstdint>

namespace velkor::srgb {

// Bit patterns, so no decimal-to-binary conversion can shift a constant.
inline constexpr float kThreshold = std::bit_cast<float>(std::uint32_t{0x3B4D2E1C});  // 0.0031308
inline constexpr float kSlope = std::bit_cast<float>(std::uint32_t{0x414EB852});      // 12.92
inline constexpr float kExponent = std::bit_cast<float>(std::uint32_t{0x3ED55555});   // 1/2.4
inline constexpr float kScale = std::bit_cast<float>(std::uint32_t{0x3F870A3D});      // 1.055
inline constexpr float kOffset = std::bit_cast<float>(std::uint32_t{0xBD6147AE});     // -0.055

// Unclamped; every operation rounded to float on its own, powf from libm.
inline float encode_reference(float x) {
    if (x <= kThreshold) return x * kSlope;
    // NaN fails the comparison above and lands here, where powf keeps it.
    float p = ::powf(x, kExponent);
    float scaled = p * kScale;
    return scaled + kOffset;
}

}  // namespace velkor::srgb
