// The ColorFilter enumeration: one Python object per filter preset.
#include "bw/coefficients.hpp"
#include "module/python_errors.hpp"
#include "module/enum_class.hpp"
#include "module/registry.hpp"

namespace velkor::py {
namespace {

using Filter = velkor::ColorFilter;

// Indexed by the member's value.
constexpr const char* kReprs[kColorFilterCount] = {
    "ColorFilter.NoFilter",
    "ColorFilter.Yellow8K2",
    "ColorFilter.Orange21",
    "ColorFilter.Red25A",
    "ColorFilter.Green11X1",
    "ColorFilter.Blue47C5",
};

PyObject* repr(PyObject* self) {
    return guarded([&] { return PyUnicode_FromString(kReprs[enum_value(self)]); });
}

constexpr const char kDoc[] =
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
    "apply exposure compensation \xe2\x80\x94 do that in the exposure kernel.";

const PyType_Slot kSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_nb_int, reinterpret_cast<void*>(enum_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
};

template <Filter F>
constexpr auto member = enum_member<Filter, static_cast<EnumValue>(F)>;

// In declaration order, which is also value order.
const ClassAttribute kMembers[] = {
    {"NoFilter", member<Filter::NoFilter>},
    {"Yellow8K2", member<Filter::Yellow8K2>},
    {"Orange21", member<Filter::Orange21>},
    {"Red25A", member<Filter::Red25A>},
    {"Green11X1", member<Filter::Green11X1>},
    {"Blue47C5", member<Filter::Blue47C5>},
};
static_assert(std::size(kMembers) == kColorFilterCount);

const ClassSpec kSpec{
    "ColorFilter",
    "builtins.ColorFilter",
    kDoc,
    sizeof(EnumInstance),
    Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
    nullptr,
    kMembers,
    dealloc_instance<EnumValue>,
};

}  // namespace

LazyClass color_filter_class(kSpec);

}  // namespace velkor::py
