#pragma once
// The internal-failure path: a broken invariant or an input a kernel cannot
// use in a way it does not report as ShapeError.  It unwinds as a C++
// exception (so every RAII hold and buffer is given back on the way out) and
// the call frame turns it into PanicException at the Python boundary.
#include <source_location>
#include <stdexcept>
#include <string>

namespace velkor {

class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes a short diagnostic naming the place to standard error, then throws.
[[noreturn]] void internal_failure(
    const std::string& message,
    std::source_location where = std::source_location::current());

}  // namespace velkor
