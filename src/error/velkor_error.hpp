#pragma once
// Errors as values: a kernel returns its result or a VelkorError, and never
// lets a Python exception (or any Python object) near its arithmetic.
#include <string>
#include <utility>
#include <variant>

namespace velkor {

// A failure a kernel detects in its input and reports to the caller; the call
// frame raises it as ValueError("shape error: " + message).
struct VelkorError {
    std::string message;

    std::string display() const { return "shape error: " + message; }
};

// The value a kernel produced, or the VelkorError it reported.
template <class T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(VelkorError error) : state_(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(state_); }
    T& value() { return std::get<T>(state_); }
    const VelkorError& error() const { return std::get<VelkorError>(state_); }

private:
    std::variant<T, VelkorError> state_;
};

}  // namespace velkor
