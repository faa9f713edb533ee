#include "module/class_types.hpp"

#include <vector>

#include "error/internal_failure.hpp"
#include "module/pyref.hpp"

namespace velkor::py {

void raise_caused_runtime_error(const std::string& message) {
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyUnicode_FromString(message.c_str()));
    Ref error = text ? call_one(PyExc_RuntimeError, text.get()) : Ref();
    if (!error) return;
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
}

PyObject* LazyClass::create() {
    std::vector<PyType_Slot> slots;
    if (spec_.doc != nullptr && *spec_.doc != '\0') {
        slots.push_back({Py_tp_doc, const_cast<char*>(spec_.doc)});
    }
    slots.insert(slots.end(), spec_.slots.begin(), spec_.slots.end());
    if (spec_.getset != nullptr) slots.push_back({Py_tp_getset, spec_.getset});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec_.dealloc)});
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({0, nullptr});
    PyType_Spec type_spec{spec_.qualified, spec_.basicsize, 0, Py_TPFLAGS_DEFAULT | spec_.extra_flags,
                          slots.data()};
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    if (!type) return nullptr;
    for (const ClassAttribute& attribute : spec_.attributes) {
        Ref value = Ref::steal(attribute.make(reinterpret_cast<PyTypeObject*>(type.get())));
        if (!value) {
            raise_caused_runtime_error(std::string("An error occurred while initializing `") + spec_.name + "." +
                                       attribute.name + "`");
            return nullptr;
        }
        if (PyObject_SetAttrString(type.get(), attribute.name, value.get()) < 0) {
            raise_caused_runtime_error(std::string("An error occurred while initializing `") + spec_.name +
                                       ".__dict__`");
            return nullptr;
        }
    }
    return type.release();
}

PyTypeObject* LazyClass::get() {
    PyObject* type = once_.get([this] { return create(); });
    if (type == nullptr) {
        raise_caused_runtime_error(std::string("An error occurred while initializing class ") + spec_.name);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* LazyClass::get_or_fail() {
    PyTypeObject* type = get();
    if (type == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        internal_failure(std::string("failed to create type object for `") + spec_.name + "`");
    }
    return type;
}

bool is_instance(PyObject* object, PyTypeObject* type) {
    return Py_IS_TYPE(object, type) || PyType_IsSubtype(Py_TYPE(object), type);
}

bool SharedHold::acquire(BorrowWord& word) {
    std::intptr_t seen = word.load(std::memory_order_relaxed);
    do {
        if (seen == kExclusive) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
    } while (!word.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire));
    word_ = &word;
    return true;
}

void SharedHold::release() {
    if (word_ != nullptr) std::exchange(word_, nullptr)->fetch_sub(1, std::memory_order_release);
}

bool ExclusiveHold::acquire(BorrowWord& word) {
    std::intptr_t expected = 0;
    if (!word.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    }
    word_ = &word;
    return true;
}

ExclusiveHold::~ExclusiveHold() {
    if (word_ != nullptr) word_->store(0, std::memory_order_release);
}

}  // namespace velkor::py
