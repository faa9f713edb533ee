#include "bw/monochrome.hpp"
#include "module/arguments.hpp"
#include "module/call_frame.hpp"
#include "module/enum_class.hpp"
#include "module/registry.hpp"

namespace velkor::py {
namespace {

constexpr const char* kParameters[] = {"img", "filter", "standard"};
constexpr Signature kSignature{"color_filter_bw()", kParameters, 1};

PyObject* color_filter_bw_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* values[3];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, values)) return nullptr;
        auto img = BorrowedImage::convert(values[0], "img");
        if (!img) return nullptr;
        auto filter = velkor::ColorFilter::NoFilter;
        if (values[1] != nullptr && !read_enum_argument(values[1], "filter", color_filter_class, filter)) {
            return nullptr;
        }
        auto standard = velkor::LuminanceStandard::Bt709;
        if (values[2] != nullptr &&
            !read_enum_argument(values[2], "standard", luminance_standard_class, standard)) {
            return nullptr;
        }
        return run_kernel(*img, [&](const ImageView& view) {
            return velkor::color_filter_bw(view, filter, standard);
        });
    });
}

constexpr const char kDoc[] =
    "color_filter_bw(img, filter=..., standard=...)\n"
    "--\n"
    "\n"
    "Convert a linear RGB image to greyscale using a Wratten-style filter.\n"
    "\n"
    "Applies the filter's per-channel transmission vector then collapses\n"
    "to luminance using ``standard``.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 3)``, dtype ``float32``, C-contiguous.\n"
    "filter : ColorFilter, optional\n"
    "    Wratten-style preset. Default: ``ColorFilter.NoFilter``.\n"
    "standard : LuminanceStandard, optional\n"
    "    Which ITU-R standard to use. Default: ``LuminanceStandard.Bt709``.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, 1)``, dtype ``float32``.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` is not shape ``(H, W, 3)``.";

}  // namespace

PyMethodDef color_filter_bw_function = fastcall_function("color_filter_bw", color_filter_bw_py, kDoc);

}  // namespace velkor::py
