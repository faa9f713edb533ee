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

// A print too large for memory is made a piece at a time: bands of rows,
// and within a band strips of columns.  The guided filter's tables are
// running sums whose rounding depends on where they start, so each piece
// continues them from what the pieces above and to the left carried, as
// bytes: immutable, so nothing can change them while the kernel reads them
// without the lock (the caller's arguments keep them alive).
namespace velkor::py {
namespace {

constexpr const char* kParameters[] = {"img", "params", "strength", "rows", "columns", "carried", "carried_left"};
constexpr Signature kSignature{"_local_contrast_piece()", kParameters, 7};

bool to_position(PyObject* object, const char* parameter, std::size_t& out) {
    std::int64_t value = 0;
    if (!to_int64(object, parameter, value)) return false;
    if (value < 0) {
        PyErr_Format(PyExc_ValueError, "argument '%s': a position cannot be negative", parameter);
        return false;
    }
    out = static_cast<std::size_t>(value);
    return true;
}

// (extent, first, end) of one axis.
bool to_span(PyObject* object, const char* parameter, std::size_t r, FilterSpan& out) {
    if (!PyTuple_Check(object) || PyTuple_Size(object) != 3) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a tuple (extent, first, end)", parameter);
        return false;
    }
    out.r = r;
    return to_position(PyTuple_GetItem(object, 0), parameter, out.extent) &&
           to_position(PyTuple_GetItem(object, 1), parameter, out.first) &&
           to_position(PyTuple_GetItem(object, 2), parameter, out.end);
}

// The carried bytes: `doubles` of them, or none where the piece reads none.
InputCheck carried_doubles(PyObject* bytes, const char* what, std::size_t doubles, bool needed,
                           const double*& out) {
    const Py_ssize_t size = PyBytes_Size(bytes);
    const std::size_t wanted = doubles * sizeof(double);
    if (size == 0 && !needed) return {};
    if (size < 0 || static_cast<std::size_t>(size) != wanted) {
        return ShapeError{"expected " + std::to_string(wanted) + " carried bytes from the piece " + what +
                          ", got " + std::to_string(size)};
    }
    out = reinterpret_cast<const double*>(PyBytes_AsString(bytes));
    return {};
}

PyObject* to_bytes(const Buffer<double>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     static_cast<Py_ssize_t>(values.size() * sizeof(double)));
}

PyObject* local_contrast_piece_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* values[7];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, values)) return nullptr;
        auto img = BorrowedImage::convert(values[0], "img");
        if (!img) return nullptr;
        SharedHold hold;
        GuidedFilterParams filter;
        float strength = 0.0f;
        FilterPiece piece;
        if (!take_filter(values[1], values[2], hold, filter, strength) ||
            !to_span(values[3], "rows", filter.radius, piece.rows) ||
            !to_span(values[4], "columns", filter.radius, piece.columns)) {
            return nullptr;
        }
        for (int i : {5, 6}) {
            if (!PyBytes_Check(values[i])) {
                raise_not_instance(kParameters[i], values[i], "bytes");
                return nullptr;
            }
        }
        FilterCarry carry;
        Buffer<double> next, next_left;
        Ref out = Ref::steal(run_kernel(
            *img,
            [&](const ImageView& view) -> InputCheck {
                if (InputCheck refused = check_local_contrast_piece(view, piece)) return refused;
                const std::size_t left_size = left_carry_size(piece.rows);
                next = Buffer<double>::zeroed(kTableCarryRows * piece.columns.count());
                if (piece.columns.end < piece.columns.extent) next_left = Buffer<double>::zeroed(left_size);
                carry.next = next.data();
                carry.next_left = next_left.size() ? next_left.data() : nullptr;
                if (InputCheck refused = carried_doubles(values[5], "above", kTableCarryRows * piece.columns.extent,
                                                         piece.rows.fit_first() > 0, carry.above)) {
                    return refused;
                }
                return carried_doubles(values[6], "to the left", left_size, piece.columns.fit_first() > 0,
                                       carry.left);
            },
            [&](const ImageView& view) {
                return local_contrast_piece(view, piece, filter.eps, strength, carry);
            }));
        if (!out) return nullptr;
        Ref next_bytes = Ref::steal(to_bytes(next));
        if (!next_bytes) return nullptr;
        Ref next_left_bytes = Ref::steal(to_bytes(next_left));
        if (!next_left_bytes) return nullptr;
        return PyTuple_Pack(3, out.get(), next_bytes.get(), next_left_bytes.get());
    });
}

constexpr const char kDoc[] =
    "_local_contrast_piece(img, params, strength, rows, columns, carried, carried_left)\n"
    "--\n"
    "\n"
    "Rows and columns ``(extent, first, end)`` of ``local_contrast`` of a\n"
    "larger image, bit for bit, from the pixels their windows reach and the\n"
    "bytes carried from the pieces above and to the left.  Returns the piece,\n"
    "the bytes to carry to the piece below and those to carry to the piece\n"
    "to the right.";

}  // namespace

PyMethodDef local_contrast_piece_function =
    fastcall_function("_local_contrast_piece", local_contrast_piece_py, kDoc);

}  // namespace velkor::py
