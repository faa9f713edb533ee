#pragma once
// A process-wide object created once, on first use, with the interpreter
// lock held.  Creation may run Python code that gives the lock up, so a
// plain "if null, create" could create twice; a std::mutex taken while
// holding the interpreter lock could deadlock against a thread that owns
// the mutex and waits for the lock.  So: give the lock up, take the mutex,
// take the lock back, look again.
#include <atomic>
#include <mutex>

#include "module/python.hpp"

namespace velkor::py {

class GilOnce {
public:
    // Returns the object (borrowed; kept for the life of the process), or
    // null with a Python exception set when `create` failed.  A failed
    // creation is tried again by the next caller.
    template <class Create>
    PyObject* get(Create&& create) {
        if (PyObject* ready = object_.load(std::memory_order_acquire)) return ready;
        PyThreadState* state = PyEval_SaveThread();
        std::unique_lock lock(mutex_);
        PyEval_RestoreThread(state);
        if (PyObject* ready = object_.load(std::memory_order_acquire)) return ready;
        PyObject* made = create();  // new reference, or null with an error set
        object_.store(made, std::memory_order_release);
        return made;
    }

private:
    std::atomic<PyObject*> object_{nullptr};
    std::mutex mutex_;
};

}  // namespace velkor::py
