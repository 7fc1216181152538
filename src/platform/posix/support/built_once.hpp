#ifndef KORVO_CALLTRAIL_POSIX_SUPPORT_BUILT_ONCE_HPP
#define KORVO_CALLTRAIL_POSIX_SUPPORT_BUILT_ONCE_HPP

// Indexes are built by the first lookup that needs them and then read by
// every thread without a lock. The two ways of doing that safely live here,
// so that no caller publishes a raw pointer or deletes one by hand.

#include <atomic>
#include <memory>
#include <utility>

#include "platform/posix/support/annotated_mutex.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Built under a lock the owner shares among its parts. Counts as built only
// once the build returned: a build that throws (memory running out) leaves
// nothing behind, and the next caller tries again. A build that returns null
// means "nothing to be had", which is final.
template <class T> class built_once {
public:
    built_once() = default;
    built_once(const built_once&) = delete;
    built_once& operator=(const built_once&) = delete;

    template <class Build> T* get(annotated_mutex& lock, Build&& build) {
        if (done_.load(std::memory_order_acquire)) return value_.get();
        scoped_lock held(lock);
        if (!done_.load(std::memory_order_relaxed)) {
            value_ = build();
            done_.store(true, std::memory_order_release);
        }
        return value_.get();
    }

    // For a caller that already holds the lock.
    template <class Build> T* get_locked(Build&& build) {
        if (!done_.load(std::memory_order_relaxed)) {
            value_ = build();
            done_.store(true, std::memory_order_release);
        }
        return value_.get();
    }

    // Without building: null until built.
    T* peek() const noexcept { return done_.load(std::memory_order_acquire) ? value_.get() : nullptr; }

private:
    std::atomic<bool> done_{false};
    std::unique_ptr<T> value_;
};

// Built without a lock by whichever thread needs it first; when two race,
// one result is kept and the other dropped.
template <class T> class published {
public:
    published() = default;
    ~published() { std::unique_ptr<T> owned(value_.load(std::memory_order_relaxed)); }
    published(const published&) = delete;
    published& operator=(const published&) = delete;

    T* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // The published object: `made` if it came first, the other one if not.
    T* offer(std::unique_ptr<T> made) noexcept {
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel, std::memory_order_acquire))
            return made.release();
        return expected;
    }

private:
    std::atomic<T*> value_{nullptr};
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
