#pragma once
// A double-ended queue of pieces under its own lock: the owning worker
// pushes and pops at the back (newest first, still warm in its cache),
// thieves take from the front (the oldest, largest pieces).
#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace velkor::parallel {

template <class Task>
class TaskQueue {
public:
    TaskQueue() { ring_.resize(kInitialCapacity); }

    // False when the queue cannot grow; the caller then keeps the task.
    bool push_back(const Task& task) {
        std::lock_guard lock(mutex_);
        if (size_ == ring_.size() && !grow()) return false;
        ring_[(head_ + size_) % ring_.size()] = task;
        ++size_;
        occupied_.store(true, std::memory_order_release);
        return true;
    }

    std::optional<Task> pop_back() {
        if (!occupied_.load(std::memory_order_acquire)) return std::nullopt;
        std::lock_guard lock(mutex_);
        if (size_ == 0) return std::nullopt;
        --size_;
        occupied_.store(size_ != 0, std::memory_order_relaxed);
        return ring_[(head_ + size_) % ring_.size()];
    }

    // A thief finds most queues empty: it sees so without taking their
    // locks, which with thousands of workers would cost more than the work.
    std::optional<Task> pop_front() {
        if (!occupied_.load(std::memory_order_acquire)) return std::nullopt;
        std::lock_guard lock(mutex_);
        if (size_ == 0) return std::nullopt;
        Task task = ring_[head_];
        head_ = (head_ + 1) % ring_.size();
        --size_;
        occupied_.store(size_ != 0, std::memory_order_relaxed);
        return task;
    }

private:
    static constexpr std::size_t kInitialCapacity = 64;

    bool grow() {
        try {
            std::vector<Task> larger(ring_.size() * 2);
            for (std::size_t i = 0; i < size_; ++i) larger[i] = ring_[(head_ + i) % ring_.size()];
            ring_.swap(larger);
            head_ = 0;
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

    std::mutex mutex_;
    std::vector<Task> ring_;
    std::size_t head_ = 0, size_ = 0;
    std::atomic<bool> occupied_{false};  // size_ != 0, readable without the lock
};

}  // namespace velkor::parallel
