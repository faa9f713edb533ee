#include "bw/monochrome.hpp"
#include "module/arguments.hpp"
#include "module/call_frame.hpp"
#include "module/enum_class.hpp"
#include "module/registry.hpp"

namespace velkor::py {
namespace {

constexpr const char* kParameters[] = {"img", "standard"};
constexpr Signature kSignature{"luminance_bw()", kParameters, 1};

PyObject* luminance_bw_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* values[2];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, values)) return nullptr;
        auto img = BorrowedImage::convert(values[0], "img");
        if (!img) return nullptr;
        auto standard = velkor::LuminanceStandard::Bt709;
        if (values[1] != nullptr &&
            !read_enum_argument(values[1], "standard", luminance_standard_class, standard)) {
            return nullptr;
        }
        return run_kernel(*img, [&](const ImageView& view) {
            return velkor::luminance_bw(view, standard);
        });
    });
}

constexpr const char kDoc[] =
    "luminance_bw(img, standard=...)\n"
    "--\n"
    "\n"
    "Convert a linear RGB image to greyscale using standard luminance weights.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 3)``, dtype ``float32``, C-contiguous,\n"
    "    scene-referred linear sRGB values.\n"
    "standard : LuminanceStandard, optional\n"
    "    Which ITU-R standard to use. Default: ``LuminanceStandard.Bt709``.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``, linear luminance.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` is not shape ``(H, W, 3)``.";

}  // namespace

PyMethodDef luminance_bw_function = fastcall_function("luminance_bw", luminance_bw_py, kDoc);

}  // namespace velkor::py
