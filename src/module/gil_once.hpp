#pragma once
// A process-wide object created once, on first use, with the interpreter
// lock held.  Creation may run Python code that gives the lock up, so a
// plain "if null, create" could create twice: a caller that finds a creation
// under way gives the lock up and waits for it.  No other lock is involved:
// a mutex held across the creation would stay held forever in a child that
// fork() made meanwhile, where the creating thread does not exist.  The
// creation is marked with the creating process's id instead, so a child
// sees that the creation it inherited is nobody's and starts its own.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "module/pyref.hpp"
#include "module/python.hpp"

namespace velkor::py {

class GilOnce {
public:
    // Returns the object (borrowed; kept for the life of the process), or
    // null with a Python exception set when `create` failed.  A failed
    // creation is tried again by the next caller.
    template <class Create>
    PyObject* get(Create&& create) {
        while (creator_ != 0 && creator_ == getpid()) {
            if (PyObject* ready = object_.load(std::memory_order_acquire)) return ready;
            PyThreadState* state = PyEval_SaveThread();
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            restore_thread(state);
        }
        if (PyObject* ready = object_.load(std::memory_order_acquire)) return ready;
        creator_ = getpid();
        PyObject* made = create();  // new reference, or null with an error set
        creator_ = 0;
        object_.store(made, std::memory_order_release);
        return made;
    }

private:
    std::atomic<PyObject*> object_{nullptr};
    pid_t creator_ = 0;  // read and written only with the interpreter lock held
};

}  // namespace velkor::py
