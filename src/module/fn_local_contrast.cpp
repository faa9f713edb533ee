#include "local_contrast/guided_filter_params.hpp"
#include "local_contrast/local_contrast.hpp"
#include "module/arguments.hpp"
#include "module/call_frame.hpp"
#include "module/class_types.hpp"
#include "module/local_contrast_arguments.hpp"
#include "module/registry.hpp"

namespace velkor::py {

bool take_filter(PyObject* params, PyObject* strength_object, SharedHold& hold, GuidedFilterParams& filter,
                 float& strength) {
    const GuidedFilterParams* held =
        hold_instance<GuidedFilterParams>(params, "params", guided_filter_params_class, hold);
    if (held == nullptr || !to_float(strength_object, "strength", strength)) return false;
    filter = *held;
    return true;
}

namespace {

constexpr const char* kParameters[] = {"img", "params", "strength"};
constexpr Signature kSignature{"local_contrast()", kParameters, 3};

PyObject* local_contrast_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* values[3];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, values)) return nullptr;
        auto img = BorrowedImage::convert(values[0], "img");
        if (!img) return nullptr;
        SharedHold hold;
        GuidedFilterParams filter;
        float strength = 0.0f;
        if (!take_filter(values[1], values[2], hold, filter, strength)) return nullptr;
        return run_kernel(*img, [&](const ImageView& view) {
            return velkor::local_contrast(view, filter.radius, filter.eps, strength);
        });
    });
}

constexpr const char kDoc[] =
    "local_contrast(img, params, strength)\n"
    "--\n"
    "\n"
    "Enhance local contrast using the He\xe2\x80\x93Sun\xe2\x80\x93Tang guided filter.\n"
    "\n"
    "Computes ``output = L + strength \xc2\xb7 (L - guided_filter(L))``.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 1)``, dtype ``float32``, C-contiguous.\n"
    "params : GuidedFilterParams\n"
    "    Filter radius and epsilon regularisation term.\n"
    "strength : float\n"
    "    Detail amplification factor (0 = no change, 1 = standard unsharp\n"
    "    mask, > 1 = over-sharpening).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` is not shape ``(H, W, 1)``.";

}  // namespace

PyMethodDef local_contrast_function = fastcall_function("local_contrast", local_contrast_py, kDoc);

}  // namespace velkor::py
