#pragma once
// How failures reach Python.  Every entry point of the module runs its body
// through `guarded`, so no C++ exception ever crosses into CPython.
#include <string>
#include <utility>

#include "error/shape_error.hpp"
#include "module/python.hpp"

namespace velkor::py {

// The PanicException class (a BaseException), created on first use.
PyObject* panic_exception_type();

// Raises PanicException(message); aborts if even that cannot be done.
void raise_panic(const std::string& message);

// Raises ValueError with the error's display form.
void raise_shape_error(const ShapeError& error);

// Turns the C++ exception being handled into a Python exception:
// std::bad_alloc into MemoryError, anything else into PanicException.
void raise_current_exception();

// "{TypeName}: {str(value)}" of the pending Python error, which is cleared.
std::string take_error_text();

// Runs body() (returning a PyObject* or an int status) and converts a C++
// exception thrown from it; a Python failure is already set when body()
// returns null / -1.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        raise_current_exception();
        if constexpr (std::is_pointer_v<decltype(body())>) {
            return nullptr;
        } else {
            return -1;
        }
    }
}

}  // namespace velkor::py
