#pragma once
// Small RAII types for CPython handles.
#include <utility>

#include "module/python.hpp"

namespace velkor::py {

// An owned (strong) reference.  Move-only: copying would hide an incref.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* object) { return Ref(object); }
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands ownership to the caller (typically CPython, on success).
    PyObject* release() { return std::exchange(object_, nullptr); }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// callable(argument): PyObject_CallOneArg is not part of the limited API.
inline Ref call_one(PyObject* callable, PyObject* argument) {
    return Ref::steal(PyObject_CallFunctionObjArgs(callable, argument, nullptr));
}

// Replaces Py_BEGIN_ALLOW_THREADS / Py_END_ALLOW_THREADS: the interpreter
// lock is given up for the guard's lifetime and taken back on every path.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace velkor::py
