#ifndef KORVO_CALLTRAIL_POSIX_SUPPORT_ANNOTATED_MUTEX_HPP
#define KORVO_CALLTRAIL_POSIX_SUPPORT_ANNOTATED_MUTEX_HPP

// A mutex that Clang's thread-safety analysis understands, so that the rule
// "this member is written only under that lock" is checked where it is
// written down. Other compilers see a plain std::mutex.

#include <mutex>

#if defined(__clang__)
#define CALLTRAIL_CAPABILITY(name) __attribute__((capability(name)))
#define CALLTRAIL_SCOPED_CAPABILITY __attribute__((scoped_lockable))
#define CALLTRAIL_GUARDED_BY(m) __attribute__((guarded_by(m)))
#define CALLTRAIL_REQUIRES(m) __attribute__((requires_capability(m)))
#define CALLTRAIL_ACQUIRE(...) __attribute__((acquire_capability(__VA_ARGS__)))
#define CALLTRAIL_RELEASE(...) __attribute__((release_capability(__VA_ARGS__)))
#else
#define CALLTRAIL_CAPABILITY(name)
#define CALLTRAIL_SCOPED_CAPABILITY
#define CALLTRAIL_GUARDED_BY(m)
#define CALLTRAIL_REQUIRES(m)
#define CALLTRAIL_ACQUIRE(...)
#define CALLTRAIL_RELEASE(...)
#endif

namespace korvo {
namespace calltrail {
namespace posix_engine {

class CALLTRAIL_CAPABILITY("mutex") annotated_mutex {
public:
    void lock() CALLTRAIL_ACQUIRE() { mutex_.lock(); }
    void unlock() CALLTRAIL_RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

class CALLTRAIL_SCOPED_CAPABILITY scoped_lock {
public:
    explicit scoped_lock(annotated_mutex& mutex) CALLTRAIL_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~scoped_lock() CALLTRAIL_RELEASE() { mutex_.unlock(); }
    scoped_lock(const scoped_lock&) = delete;
    scoped_lock& operator=(const scoped_lock&) = delete;

private:
    annotated_mutex& mutex_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
