#include "encode/encode_srgb.hpp"
#include "module/arguments.hpp"
#include "module/call_frame.hpp"
#include "module/registry.hpp"

namespace velkor::py {
namespace {

constexpr const char* kParameters[] = {"img"};
constexpr Signature kSignature{"encode_srgb()", kParameters, 1};

PyObject* encode_srgb_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* values[1];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, values)) return nullptr;
        auto img = BorrowedImage::convert(values[0], "img");
        if (!img) return nullptr;
        return run_kernel(*img, check_encode_srgb_input, [&](const ImageView& view) {
            return velkor::encode_srgb(view);
        });
    });
}

constexpr const char kDoc[] =
    "encode_srgb(img)\n"
    "--\n"
    "\n"
    "Apply the IEC 61966-2-1 sRGB transfer encoding.\n"
    "\n"
    "This is always the last kernel in the pipeline. Converts scene-referred\n"
    "linear f32 values to display-referred sRGB. Values are not clamped \xe2\x80\x94\n"
    "caller should clamp to [0, 1] beforehand if required.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, C)``, dtype ``float32``, C-contiguous.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, C)``, dtype ``float32``, display-referred sRGB.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` does not have exactly 3 dimensions.";

}  // namespace

PyMethodDef encode_srgb_function = fastcall_function("encode_srgb", encode_srgb_py, kDoc);

}  // namespace velkor::py
