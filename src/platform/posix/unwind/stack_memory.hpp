#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_STACK_MEMORY_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_STACK_MEMORY_HPP

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// Reads a saved register or return address from another frame of this
// thread's stack. Such slots can sit beside a sanitizer's poisoned red zones,
// which are not ours to judge.
__attribute__((no_sanitize("address", "hwaddress"))) inline std::uintptr_t read_stack_word(std::uintptr_t address) {
    using word = std::uintptr_t __attribute__((may_alias));
    return *reinterpret_cast<const word*>(address);
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
