// The two enumeration classes: LuminanceStandard, one member per ITU-R
// standard, and ColorFilter, one per filter preset.  Their members' values
// index the coefficient tables of bw/coefficients.hpp.
#include "bw/coefficients.hpp"
#include "module/enum_class.hpp"
#include "module/registry.hpp"

namespace velkor::py {
namespace {

constexpr EnumTable<kLuminanceStandardCount> kLuminanceStandard{
    "LuminanceStandard",
    "builtins.LuminanceStandard",
    "ITU-R luminance standard for B&W conversion.\n"
    "\n"
    "Selects which RGB primaries' Y-row coefficients to use when computing\n"
    "the perceptual luminance of a scene-referred linear f32 image.\n"
    "`Bt709` is the default and the correct choice for sRGB-primary data\n"
    "(the vast majority of consumer RAW pipelines).",
    {"Bt601", "Bt709", "Bt2020"},
};

constexpr EnumTable<kColorFilterCount> kColorFilter{
    "ColorFilter",
    "builtins.ColorFilter",
    "Wratten-style coloured-filter preset for B&W contrast control.\n"
    "\n"
    "Each variant represents a gel filter placed in front of the lens.\n"
    "The filter attenuates light by channel, shifting the relative tonal\n"
    "values of differently coloured subjects.\n"
    "\n"
    "Channel transmission values are sampled at the centroid wavelengths\n"
    "of a nominal sRGB camera's R/G/B channels (~620, ~540, ~450 nm) from\n"
    "the Kodak Wratten Gelatin Filters datasheet, B3-203 (5th ed.).\n"
    "These are approximations \xe2\x80\x94 real Wratten curves are continuous spectra.\n"
    "\n"
    "**Note:** real filters reduce total exposure. This kernel does not\n"
    "apply exposure compensation \xe2\x80\x94 do that in the exposure kernel.",
    {"NoFilter", "Yellow8K2", "Orange21", "Red25A", "Green11X1", "Blue47C5"},
};

static_assert(static_cast<std::size_t>(LuminanceStandard::Bt2020) == 2 &&
              static_cast<std::size_t>(ColorFilter::Blue47C5) == 5, "tables follow the enumerations' order");

}  // namespace

LazyClass luminance_standard_class(kEnumSpec<kLuminanceStandard>);
LazyClass color_filter_class(kEnumSpec<kColorFilter>);

}  // namespace velkor::py
