#ifndef KORVO_CALLTRAIL_POSIX_SUPPORT_LOADER_LOCK_READS_HPP
#define KORVO_CALLTRAIL_POSIX_SUPPORT_LOADER_LOCK_READS_HPP

// What a dl_iterate_phdr callback reads (an object's name, allocated and
// written by dlopen on another thread) is guarded by the loader's own lock.
// The loader takes that lock without any call ThreadSanitizer intercepts, so
// it reports a race that cannot happen. Under ThreadSanitizer the callback's
// reads are therefore not traced; its writes, and everything else, are.

#if defined(__SANITIZE_THREAD__)
#define CALLTRAIL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CALLTRAIL_THREAD_SANITIZER 1
#endif
#endif

#if defined(CALLTRAIL_THREAD_SANITIZER)
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
#endif

namespace korvo {
namespace calltrail {
namespace posix_engine {

class loader_lock_reads {
public:
#if defined(CALLTRAIL_THREAD_SANITIZER)
    loader_lock_reads() noexcept { AnnotateIgnoreReadsBegin(__FILE__, __LINE__); }
    ~loader_lock_reads() { AnnotateIgnoreReadsEnd(__FILE__, __LINE__); }
#else
    loader_lock_reads() noexcept {}
#endif
    loader_lock_reads(const loader_lock_reads&) = delete;
    loader_lock_reads& operator=(const loader_lock_reads&) = delete;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
