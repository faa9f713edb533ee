#pragma once
// Constants of the zone curve, as bit patterns so no decimal conversion can
// move them.
#include <bit>
#include <cstdint>

namespace velkor::simd::zone {

inline const float kFloor = std::bit_cast<float>(std::uint32_t{0x2EDBE6FF});             // 1e-10
inline const float kLn2 = std::bit_cast<float>(std::uint32_t{0x3F317218});               // 0.6931472
inline const float kFive = 5.0f;
inline const float kMiddleGreyOffset = std::bit_cast<float>(std::uint32_t{0x401E54E3});  // 2.4739311
inline const float kNegTwiceVariance = std::bit_cast<float>(std::uint32_t{0xBFA3D70B});  // -1.2800001

}  // namespace velkor::simd::zone
