#include "platform/posix/support/child_of_fork.hpp"

#include <link.h>
#include <sys/single_threaded.h>
#include <sys/stat.h>

#include <atomic>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

std::atomic<bool> parent_had_threads{false};
std::atomic<bool> child_of_fork{false};
std::atomic<bool> child_has_threads{false};

} // namespace

// A process that never had a second thread cannot have forked while another
// thread held the lock.
void note_fork_in_parent() noexcept { parent_had_threads.store(!__libc_single_threaded, std::memory_order_relaxed); }

void note_fork_in_child() noexcept {
    child_of_fork.store(parent_had_threads.load(std::memory_order_relaxed), std::memory_order_relaxed);
    child_has_threads.store(false, std::memory_order_relaxed);
}

bool loader_lock_may_be_lost() noexcept {
    if (!child_of_fork.load(std::memory_order_relaxed) || child_has_threads.load(std::memory_order_relaxed))
        return false;
    // The kernel counts two links of the directory's own and one per thread.
    struct stat tasks;
    if (stat("/proc/self/task", &tasks) == 0 && tasks.st_nlink == 3) return true;
    // Once a second thread runs, the loader's lock is taken as usual: that
    // thread may be changing the list.
    child_has_threads.store(true, std::memory_order_relaxed);
    return false;
}

bool loader_list_changing() noexcept { return _r_debug.r_state != r_debug::RT_CONSISTENT; }

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
