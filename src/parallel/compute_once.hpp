#pragma once
// A value computed on first use without any lock.
//
// A function-local static is guarded by a lock of the C++ runtime: if fork()
// catches another thread inside its initialisation, the child inherits the
// guard marked busy, and every thread of the child that reaches the static
// waits for an initialiser that no longer exists.  Here racing threads each
// compute the value and the first to publish it wins, so a child only ever
// finds the value published or absent, and computes it again if need be.
// For values that are cheap enough to compute twice and never change.
#include <atomic>
#include <utility>

namespace velkor::parallel {

template <class T>
class ComputeOnce {
public:
    constexpr ComputeOnce() = default;
    ComputeOnce(const ComputeOnce&) = delete;
    ComputeOnce& operator=(const ComputeOnce&) = delete;

    template <class Compute>
    const T& get(Compute&& compute) {
        if (const T* known = value_.load(std::memory_order_acquire)) return *known;
        // Kept for the life of the process, like a static.
        const T* fresh = new T(std::forward<Compute>(compute)());
        const T* published = nullptr;
        if (value_.compare_exchange_strong(published, fresh, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return *fresh;
        }
        delete fresh;
        return *published;
    }

private:
    std::atomic<const T*> value_{nullptr};
};

}  // namespace velkor::parallel
