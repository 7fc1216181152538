#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_STACK_BOUNDS_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_STACK_BOUNDS_HPP

// Where a walk may read the stack. A walk reads words between the stack
// pointer of the frame it is leaving and the top of the stack that holds it,
// and nothing else, so a damaged stack can end a walk but never fault it.
// Signal-safe: no lock, no allocation, no thread-local storage.

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// [low, high): words a walk may read.
struct stack_range {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;

    bool holds(std::uintptr_t address, std::uintptr_t size) const {
        return address >= low && address <= high && size <= high - address;
    }
};

// The stack of this thread above sp, known without a system call: a thread
// glibc made keeps its descriptor at the top of its stack block (a stack the
// program gave it included), and the main thread's stack ends just above
// __libc_stack_end. False when sp is on neither (an alternate signal stack,
// a coroutine's stack, a thread stack larger than the usual): the walk must
// then prove what it reads.
bool known_thread_stack(std::uintptr_t sp, stack_range& range);

// The slow path, for walks that leave or start outside the known stacks.
// The alternate signal stack this thread runs its handlers on, if any.
bool alternate_signal_stack(stack_range& range);

// How far above `address` memory can be read, up to `limit`, by probes that
// cannot fault (process_vm_readv on this process, a byte a page, 8 MiB at
// most); `address` itself when nothing can be read there; 0 when the probe
// is refused (a sandbox), so that nothing can be told.
std::uintptr_t readable_end(std::uintptr_t address, std::uintptr_t limit);

// The first address at or above `address` that can be read, looking as far
// as 64 pages up and below `limit`; `limit` when there is none there, 0 when
// the probe is refused.
std::uintptr_t readable_from(std::uintptr_t address, std::uintptr_t limit);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
