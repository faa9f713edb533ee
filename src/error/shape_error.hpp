#pragma once
// Errors as values: a kernel returns its result or a ShapeError, and never
// lets a Python exception (or any Python object) near its arithmetic.
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace velkor {

// A failure a kernel detects in its input and reports to the caller; the call
// frame raises it as ValueError("shape error: " + message).
struct ShapeError {
    std::string message;

    std::string display() const { return "shape error: " + message; }
};

// What a kernel's check of its input finds before any work: the ShapeError
// the kernel would report, or nothing.  An input the kernel cannot read at
// all takes the internal-failure path from the check itself.
using InputCheck = std::optional<ShapeError>;

// The value a kernel produced, or the ShapeError it reported.
template <class T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(ShapeError error) : state_(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(state_); }
    T& value() { return std::get<T>(state_); }
    const ShapeError& error() const { return std::get<ShapeError>(state_); }

private:
    std::variant<T, ShapeError> state_;
};

}  // namespace velkor
