#include "bw/coefficients.hpp"

#include <bit>

namespace velkor {
namespace {

// Each literal is rounded once, straight from the decimal to the nearest
// binary32 value (never through double), which is the value meant.
constexpr ChannelWeights kLuminanceWeights[kLuminanceStandardCount] = {
    {0.299f, 0.587f, 0.114f},      // Bt601
    {0.2126f, 0.7152f, 0.0722f},   // Bt709
    {0.2627f, 0.678f, 0.0593f},    // Bt2020
};

// Transmissions at the nominal R/G/B centroid wavelengths (~620, ~540,
// ~450 nm), read from Kodak's Wratten gelatin filter data (B3-203).
constexpr ChannelWeights kFilterTransmission[kColorFilterCount] = {
    {1.0f, 1.0f, 1.0f},    // NoFilter
    {1.0f, 0.9f, 0.3f},    // Yellow8K2
    {1.0f, 0.55f, 0.1f},   // Orange21
    {1.0f, 0.1f, 0.02f},   // Red25A
    {0.2f, 1.0f, 0.3f},    // Green11X1
    {0.1f, 0.3f, 1.0f},    // Blue47C5
};

// Guards the literal rounding on a compiler that would go through double.
static_assert(std::bit_cast<std::uint32_t>(kLuminanceWeights[1].r) == 0x3E59B3D0u);  // 0.2126
static_assert(std::bit_cast<std::uint32_t>(kLuminanceWeights[1].g) == 0x3F371759u);  // 0.7152
static_assert(std::bit_cast<std::uint32_t>(kLuminanceWeights[1].b) == 0x3D93DD98u);  // 0.0722

}  // namespace

ChannelWeights luminance_weights(LuminanceStandard standard) {
    return kLuminanceWeights[static_cast<std::size_t>(standard)];
}

ChannelWeights filter_transmission(ColorFilter filter) {
    return kFilterTransmission[static_cast<std::size_t>(filter)];
}

}  // namespace velkor
