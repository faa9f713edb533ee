#include "module/python_errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "error/internal_failure.hpp"
#include "module/gil_once.hpp"
#include "module/pyref.hpp"

namespace velkor::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails unexpectedly.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception,\n"
    "so that it normally propagates all the way up and ends the interpreter\n"
    "instead of being swallowed by a broad `except Exception`.";

constexpr const char* kNoText = "native code failed without a message";

GilOnce panic_type_once;

[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace

PyObject* panic_exception_type() {
    return panic_type_once.get([] {
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    });
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        PyErr_Clear();
        std::fputs("Failed to initialize new exception type.\n", stderr);
        abort_at_boundary();
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) abort_at_boundary();
    PyErr_SetObject(type, text.get());
}

void raise_shape_error(const ShapeError& error) {
    std::string text = error.display();
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

void raise_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        const char* what = failure.what();
        raise_panic(what != nullptr && *what != '\0' ? what : kNoText);
    } catch (...) {
        raise_panic(kNoText);
    }
}

std::string take_error_text() {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!error) return "no Python error was set";
    std::string text = "<unprintable error>";
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(error.get())));
    Ref value = Ref::steal(PyObject_Str(error.get()));
    if (type_name && value) {
        const char* name = PyUnicode_AsUTF8AndSize(type_name.get(), nullptr);
        const char* detail = PyUnicode_AsUTF8AndSize(value.get(), nullptr);
        if (name && detail) text = std::string(name) + ": " + detail;
    }
    PyErr_Clear();
    return text;
}

}  // namespace velkor::py
