#include "platform/posix/unwind/stack_bounds.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

extern "C" void* __libc_stack_end;

namespace korvo {
namespace calltrail {
namespace posix_unwind {
namespace {

constexpr std::uintptr_t page = 4096;
constexpr std::uintptr_t mib = std::uintptr_t{1} << 20;

// How far below the top of its stack a thread's sp may be for the stack to
// count as known; set once when the library is loaded. Other threads' stacks
// and mappings lie further away from the main thread's (the kernel keeps a
// gap of at least 128 MiB below it) but may lie just below a thread's.
std::uintptr_t main_stack_limit = 8 * mib;
std::uintptr_t thread_stack_limit = 8 * mib;

__attribute__((constructor)) void read_stack_limits() {
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > main_stack_limit)
        main_stack_limit = limit.rlim_cur < 128 * mib ? limit.rlim_cur : 128 * mib;
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY) main_stack_limit = 128 * mib;
    pthread_attr_t defaults;
    std::size_t size = 0;
    if (pthread_getattr_default_np(&defaults) == 0) {
        if (pthread_attr_getstacksize(&defaults, &size) == 0 && size > thread_stack_limit && size <= 1024 * mib)
            thread_stack_limit = size;
        pthread_attr_destroy(&defaults);
    }
}

} // namespace

bool known_thread_stack(std::uintptr_t sp, stack_range& range) {
    const auto descriptor = reinterpret_cast<std::uintptr_t>(pthread_self());
    if (sp < descriptor && descriptor - sp <= thread_stack_limit) {
        range = stack_range{sp, descriptor};
        return true;
    }
    const auto end = reinterpret_cast<std::uintptr_t>(__libc_stack_end);
    if (sp < end && end - sp <= main_stack_limit) {
        range = stack_range{sp, end};
        return true;
    }
    return false;
}

// A handler must leave errno as it found it.
struct errno_kept {
    int saved = errno;
    ~errno_kept() { errno = saved; }
};

bool alternate_signal_stack(stack_range& range) {
    const errno_kept kept;
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) != 0 || current.ss_size == 0)
        return false;
    const auto low = reinterpret_cast<std::uintptr_t>(current.ss_sp);
    range = stack_range{low, low + current.ss_size};
    return range.high > low;
}

namespace {

// Pages a probe reads at a time: their descriptions take 16 bytes each on a
// stack that may be an 8 KiB alternate one.
constexpr unsigned batch_pages = 16;
// At most 8 MiB in all.
constexpr unsigned most_batches = 128;

// Reads one byte of each page given, in one call: the kernel stops at the
// first page it cannot read. How many it read; -1 when the call is refused.
long probe_pages(const std::uintptr_t* pages, unsigned count) {
    iovec remote[batch_pages];
    char bytes[batch_pages];
    for (unsigned i = 0; i < count; ++i) remote[i] = iovec{reinterpret_cast<void*>(pages[i]), 1};
    iovec local{bytes, count};
    const long pid = syscall(SYS_getpid);
    const long read = syscall(SYS_process_vm_readv, pid, &local, 1ul, remote, static_cast<unsigned long>(count), 0ul);
    if (read < 0) return errno == EFAULT ? 0 : -1;
    return read;
}

} // namespace

std::uintptr_t readable_end(std::uintptr_t address, std::uintptr_t limit) {
    if (limit <= address) return address;
    const errno_kept kept;
    std::uintptr_t end = address;
    for (unsigned batch = 0; batch < most_batches && end < limit; ++batch) {
        std::uintptr_t pages[batch_pages];
        unsigned count = 0;
        for (std::uintptr_t at = end; at < limit && count < batch_pages; at = (at & ~(page - 1)) + page)
            pages[count++] = at;
        const long read = probe_pages(pages, count);
        if (read < 0) return 0;
        if (read < count) return read == 0 ? end : (pages[read - 1] & ~(page - 1)) + page;
        end = (pages[count - 1] & ~(page - 1)) + page;
    }
    return end < limit ? end : limit;
}

std::uintptr_t readable_from(std::uintptr_t address, std::uintptr_t limit) {
    const errno_kept kept;
    for (unsigned pages = 0; address < limit && pages < 64; ++pages) {
        const long read = probe_pages(&address, 1);
        if (read != 0) return read < 0 ? 0 : address;
        address = (address & ~(page - 1)) + page;
    }
    return limit;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
