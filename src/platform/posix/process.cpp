// The process id, asked of the kernel.
#include "platform/platform.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace {

// getpid() is a system call, which costs microseconds under some hypervisors,
// and every resolver asks. The answer is kept, and forgotten in the child of
// a fork(); a process made by a raw clone() without fork handlers is not
// supported, as the C library's own cache never was.
std::atomic<pid_t> known_process_id{0};

void forget_process_id() { known_process_id.store(0, std::memory_order_relaxed); }

// Set while the library loads, before any thread can ask.
const bool watching_forks = pthread_atfork(nullptr, nullptr, &forget_process_id) == 0;

} // namespace

DWORD WINAPI GetCurrentProcessId() {
    pid_t known = watching_forks ? known_process_id.load(std::memory_order_relaxed) : 0;
    if (known == 0) {
        known = getpid();
        known_process_id.store(known, std::memory_order_relaxed);
    }
    return static_cast<DWORD>(known);
}
