#include "local_contrast/guided_filter_params.hpp"
#include "local_contrast/local_contrast.hpp"
#include "module/arguments.hpp"
#include "module/call_frame.hpp"
#include "module/class_types.hpp"
#include "module/registry.hpp"

namespace velkor::py {
namespace {

constexpr const char* kParameters[] = {"img", "params", "strength"};
constexpr Signature kSignature{"local_contrast()", kParameters, 3};

PyObject* local_contrast_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* values[3];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, values)) return nullptr;
        auto img = BorrowedImage::convert(values[0], "img");
        if (!img) return nullptr;
        // Held until the call ends, so no setter can change the parameters
        // while the kernel runs without the lock.  Declared after the image,
        // so it is given back first.
        SharedHold hold;
        const GuidedFilterParams* params =
            hold_instance<GuidedFilterParams>(values[1], "params", guided_filter_params_class, hold);
        if (params == nullptr) return nullptr;
        float strength = 0.0f;
        if (!to_float(values[2], "strength", strength)) return nullptr;
        const GuidedFilterParams filter = *params;
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
