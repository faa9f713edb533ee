#include "module/arguments.hpp"
#include "module/call_frame.hpp"
#include "module/class_types.hpp"
#include "module/registry.hpp"
#include "tone/zone_offsets.hpp"
#include "tone/zone_system.hpp"

namespace velkor::py {
namespace {

constexpr const char* kParameters[] = {"img", "params"};
constexpr Signature kSignature{"zone_system()", kParameters, 2};

PyObject* zone_system_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* values[2];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, values)) return nullptr;
        auto img = BorrowedImage::convert(values[0], "img");
        if (!img) return nullptr;
        // Declared after the image, so it is given back first.
        SharedHold hold;
        const ZoneOffsets* params = hold_instance<ZoneOffsets>(values[1], "params", zone_params_class, hold);
        if (params == nullptr) return nullptr;
        // The kernel runs without the lock, so it works on its own copy.
        ZoneOffsets offsets = *params;
        return run_kernel(*img, check_zone_system_input, [&](const ImageView& view) {
            return velkor::zone_system(view, offsets);
        });
    });
}

constexpr const char kDoc[] =
    "zone_system(img, params)\n"
    "--\n"
    "\n"
    "Apply the Adams/Archer Zone System tone curve.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 1)``, dtype ``float32``, C-contiguous,\n"
    "    linear luminance (output of a B&W conversion kernel).\n"
    "params : ZoneParams\n"
    "    Zone offsets mapping zone index 0..10 \xe2\x86\x92 stop offset.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``, tone-adjusted luminance.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` is not shape ``(H, W, 1)``.";

}  // namespace

PyMethodDef zone_system_function = fastcall_function("zone_system", zone_system_py, kDoc);

}  // namespace velkor::py
