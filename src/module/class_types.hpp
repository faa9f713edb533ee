#pragma once
// The module's classes: heap types made from a description on first use,
// shared by every module object of the process, and instances whose layout
// is the object header, the class's value, then one word of borrow state.
#include <atomic>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "module/arguments.hpp"
#include "module/gil_once.hpp"
#include "module/python.hpp"

namespace velkor::py {

// A class attribute computed once, when the type is created (an enumeration
// member, say).  Returns a new reference, or null with an error set.
struct ClassAttribute {
    const char* name;
    PyObject* (*make)(PyTypeObject* type);
};

struct ClassSpec {
    const char* name;        // "ZoneParams"
    const char* qualified;   // "builtins.ZoneParams": no class declares a module
    const char* doc;         // may start with a text signature line
    int basicsize;
    unsigned extra_flags;    // e.g. Py_TPFLAGS_DISALLOW_INSTANTIATION
    std::span<const PyType_Slot> slots;  // the class's own slots, no terminator
    PyGetSetDef* getset;     // null, or a table ending in an empty entry
    std::span<const ClassAttribute> attributes;
    destructor dealloc;
};

class LazyClass {
public:
    explicit LazyClass(const ClassSpec& spec) : spec_(spec) {}

    const ClassSpec& spec() const { return spec_; }

    // The type (borrowed), or null with RuntimeError("An error occurred while
    // initializing class {name}") set, caused by the underlying error.
    PyTypeObject* get();

    // For use outside registration: a failure is reported as unraisable and
    // ends the call on the internal-failure path.
    PyTypeObject* get_or_fail();

private:
    PyObject* create();
    const ClassSpec& spec_;
    GilOnce once_;
};

// Borrow state of an instance: a count of shared holds, or kExclusive.
using BorrowWord = std::atomic<std::intptr_t>;
inline constexpr std::intptr_t kExclusive = -1;

template <class T>
struct Instance {
    PyObject_HEAD
    T value;
    BorrowWord borrow;
};

template <class T>
Instance<T>* instance_of(PyObject* object) {
    return reinterpret_cast<Instance<T>*>(object);
}

// Creates an instance holding `value`; null with an error set on failure.
template <class T>
PyObject* new_instance(PyTypeObject* type, T value) {
    PyObject* object = PyType_GenericAlloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* instance = instance_of<T>(object);
    new (&instance->value) T(std::move(value));
    new (&instance->borrow) BorrowWord(0);
    return object;
}

// Destroys the value, frees the object through its type, and drops the
// instance's reference to its heap type.
template <class T>
void dealloc_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    instance_of<T>(object)->value.~T();
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(object);
    Py_DECREF(type);
}

// Is `object` an instance of `type` (or of a subclass)?
bool is_instance(PyObject* object, PyTypeObject* type);

// A shared hold on an instance's borrow word, given back on destruction.
class SharedHold {
public:
    SharedHold() = default;
    // False with RuntimeError("Already mutably borrowed") when a setter holds it.
    bool acquire(BorrowWord& word);
    ~SharedHold() { release(); }
    SharedHold(SharedHold&& other) noexcept : word_(std::exchange(other.word_, nullptr)) {}
    SharedHold& operator=(SharedHold&&) = delete;
    void release();

private:
    BorrowWord* word_ = nullptr;
};

// An exclusive hold for the instant of a property store.
class ExclusiveHold {
public:
    // False with RuntimeError("Already borrowed") when any hold exists.
    bool acquire(BorrowWord& word);
    ~ExclusiveHold();

private:
    BorrowWord* word_ = nullptr;
};

// Converts an argument to an instance of one of the module's classes: the
// instance rule for `parameter`, then a shared hold that `hold` keeps until
// it is destroyed.  The instance's value, or null with an error set.
template <class T>
const T* hold_instance(PyObject* object, const char* parameter, LazyClass& cls, SharedHold& hold) {
    if (!is_instance(object, cls.get_or_fail())) {
        raise_not_instance(parameter, object, cls.spec().name);
        return nullptr;
    }
    if (!hold.acquire(instance_of<T>(object)->borrow)) return nullptr;
    return &instance_of<T>(object)->value;
}

// Replaces the pending error by RuntimeError(message) caused by it.
void raise_caused_runtime_error(const std::string& message);

}  // namespace velkor::py
