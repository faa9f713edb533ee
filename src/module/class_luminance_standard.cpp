// The LuminanceStandard enumeration: one Python object per ITU-R standard.
#include "bw/coefficients.hpp"
#include "module/python_errors.hpp"
#include "module/enum_class.hpp"
#include "module/registry.hpp"

namespace velkor::py {
namespace {

using Standard = velkor::LuminanceStandard;

// Indexed by the member's value.
constexpr const char* kReprs[kLuminanceStandardCount] = {
    "LuminanceStandard.Bt601",
    "LuminanceStandard.Bt709",
    "LuminanceStandard.Bt2020",
};

PyObject* repr(PyObject* self) {
    return guarded([&] { return PyUnicode_FromString(kReprs[enum_value(self)]); });
}

constexpr const char kDoc[] =
    "ITU-R luminance standard for B&W conversion.\n"
    "\n"
    "Selects which RGB primaries' Y-row coefficients to use when computing\n"
    "the perceptual luminance of a scene-referred linear f32 image.\n"
    "`Bt709` is the default and the correct choice for sRGB-primary data\n"
    "(the vast majority of consumer RAW pipelines).";

const PyType_Slot kSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_nb_int, reinterpret_cast<void*>(enum_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
};

template <Standard S>
constexpr auto member = enum_member<Standard, static_cast<EnumValue>(S)>;

// In declaration order, which is also value order.
const ClassAttribute kMembers[] = {
    {"Bt601", member<Standard::Bt601>},
    {"Bt709", member<Standard::Bt709>},
    {"Bt2020", member<Standard::Bt2020>},
};
static_assert(std::size(kMembers) == kLuminanceStandardCount);

const ClassSpec kSpec{
    "LuminanceStandard",
    "builtins.LuminanceStandard",
    kDoc,
    sizeof(EnumInstance),
    Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
    nullptr,
    kMembers,
    dealloc_instance<EnumValue>,
};

}  // namespace

LazyClass luminance_standard_class(kSpec);

}  // namespace velkor::py
