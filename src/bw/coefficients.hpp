#pragma once
// The two enumerations that pick a monochrome conversion's weights, and
// their constant coefficient tables, indexed by the member's value.
#include <cstddef>
#include <cstdint>

namespace velkor {

// ITU-R recommendation whose luminance row weights the channels.
enum class LuminanceStandard : std::uint8_t { Bt601 = 0, Bt709 = 1, Bt2020 = 2 };
inline constexpr std::size_t kLuminanceStandardCount = 3;

// Wratten-style coloured lens filter, applied before the luminance sum.
enum class ColorFilter : std::uint8_t {
    NoFilter = 0,
    Yellow8K2 = 1,
    Orange21 = 2,
    Red25A = 3,
    Green11X1 = 4,
    Blue47C5 = 5,
};
inline constexpr std::size_t kColorFilterCount = 6;

// One single-precision factor per channel.
struct ChannelWeights {
    float r, g, b;
};

// The standard's (red, green, blue) luminance weights; they sum to 1.
ChannelWeights luminance_weights(LuminanceStandard standard);

// The fraction of light the filter passes in each channel (not normalised:
// a coloured filter darkens the image).
ChannelWeights filter_transmission(ColorFilter filter);

}  // namespace velkor
