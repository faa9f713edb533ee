#include <cstdint>
#include <cstring>
#include <string>

#include "image/buffer.hpp"
#include "local_contrast/guided_filter_params.hpp"
#include "local_contrast/local_contrast.hpp"
#include "module/arguments.hpp"
#include "module/call_frame.hpp"
#include "module/local_contrast_arguments.hpp"
#include "module/pyref.hpp"
#include "module/registry.hpp"

// A print too large for memory is made a band of rows at a time.  The
// guided filter's tables are running sums whose rounding depends on the row
// they start at, so each band continues them from rows carried from the band
// above, as bytes: immutable, so nothing can change them under the kernel.
namespace velkor::py {
namespace {

constexpr const char* kParameters[] = {"img", "params", "strength", "height", "first", "end", "carried"};
constexpr Signature kSignature{"_local_contrast_rows()", kParameters, 7};

bool to_row(PyObject* object, const char* parameter, std::size_t& out) {
    std::int64_t value = 0;
    if (!to_int64(object, parameter, value)) return false;
    if (value < 0) {
        PyErr_Format(PyExc_ValueError, "argument '%s': a row number cannot be negative", parameter);
        return false;
    }
    out = static_cast<std::size_t>(value);
    return true;
}

// The carried rows, copied while the lock is held; none where the band
// starts within the radius of row 0 and reads none.
InputCheck copy_carried(PyObject* bytes, std::size_t width, const FilterRows& span, Buffer<double>& out) {
    const Py_ssize_t size = PyBytes_Size(bytes);
    const std::size_t wanted = kTableCarryRows * width * sizeof(double);
    if (size == 0 && span.fit_first() == 0) return {};
    if (size < 0 || static_cast<std::size_t>(size) != wanted) {
        return ShapeError{"expected " + std::to_string(wanted) + " carried bytes from the band above, got " +
                          std::to_string(size)};
    }
    out = Buffer<double>::uninitialized(kTableCarryRows * width);
    std::memcpy(out.data(), PyBytes_AsString(bytes), wanted);
    return {};
}

PyObject* local_contrast_rows_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* values[7];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, values)) return nullptr;
        auto img = BorrowedImage::convert(values[0], "img");
        if (!img) return nullptr;
        SharedHold hold;
        GuidedFilterParams filter;
        float strength = 0.0f;
        FilterRows span;
        if (!take_filter(values[1], values[2], hold, filter, strength) || !to_row(values[3], "height", span.height) ||
            !to_row(values[4], "first", span.first) || !to_row(values[5], "end", span.end)) {
            return nullptr;
        }
        span.r = filter.radius;
        if (!PyBytes_Check(values[6])) {
            raise_not_instance("carried", values[6], "bytes");
            return nullptr;
        }
        Buffer<double> carried, next;
        Ref out = Ref::steal(run_kernel(
            *img,
            [&](const ImageView& view) -> InputCheck {
                if (InputCheck refused = check_local_contrast_rows(view, span)) return refused;
                next = Buffer<double>::zeroed(kTableCarryRows * view.w);
                return copy_carried(values[6], view.w, span, carried);
            },
            [&](const ImageView& view) {
                return local_contrast_rows(view, span, filter.eps, strength,
                                           carried.size() ? carried.data() : nullptr, next.data());
            }));
        if (!out) return nullptr;
        Ref next_bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(next.data()),
                                                              static_cast<Py_ssize_t>(next.size() * sizeof(double))));
        if (!next_bytes) return nullptr;
        return PyTuple_Pack(2, out.get(), next_bytes.get());
    });
}

constexpr const char kDoc[] =
    "_local_contrast_rows(img, params, strength, height, first, end, carried)\n"
    "--\n"
    "\n"
    "Rows ``first`` to ``end`` of ``local_contrast`` of an image ``height`` rows\n"
    "tall, bit for bit, from the rows their windows reach and the bytes\n"
    "carried from the band above.  Returns the rows and the bytes to carry\n"
    "to the band that starts at ``end``.";

}  // namespace

PyMethodDef local_contrast_rows_function =
    fastcall_function("_local_contrast_rows", local_contrast_rows_py, kDoc);

}  // namespace velkor::py
