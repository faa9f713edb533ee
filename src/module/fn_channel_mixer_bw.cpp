#include "bw/monochrome.hpp"
#include "module/arguments.hpp"
#include "module/call_frame.hpp"
#include "module/registry.hpp"

namespace velkor::py {
namespace {

constexpr const char* kParameters[] = {"img", "wr", "wg", "wb"};
constexpr Signature kSignature{"channel_mixer_bw()", kParameters, 4};

PyObject* channel_mixer_bw_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* values[4];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, values)) return nullptr;
        auto img = BorrowedImage::convert(values[0], "img");
        if (!img) return nullptr;
        velkor::ChannelWeights weights{};
        if (!to_float(values[1], "wr", weights.r) || !to_float(values[2], "wg", weights.g) ||
            !to_float(values[3], "wb", weights.b)) {
            return nullptr;
        }
        return run_kernel(*img, [&](const ImageView& view) {
            return velkor::channel_mixer_bw(view, weights);
        });
    });
}

constexpr const char kDoc[] =
    "channel_mixer_bw(img, wr, wg, wb)\n"
    "--\n"
    "\n"
    "Convert a linear RGB image to greyscale using arbitrary channel weights.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, 3)``, dtype ``float32``, C-contiguous.\n"
    "wr, wg, wb : float\n"
    "    Per-channel weights. Range \xe2\x88\x92" "2..+2 is conventional; negative weights\n"
    "    produce infrared-like inversions. Weights need not sum to one.\n"
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

PyMethodDef channel_mixer_bw_function = fastcall_function("channel_mixer_bw", channel_mixer_bw_py, kDoc);

}  // namespace velkor::py
