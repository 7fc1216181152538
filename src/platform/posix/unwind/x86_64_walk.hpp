#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_X86_64_WALK_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_X86_64_WALK_HPP

#include "platform/posix/unwind/x86_64_registers.hpp"

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// Signal-safe: no lock, no allocation, no thread-local storage, about a
// kilobyte of stack. Unwinds by the objects' DWARF CFI, through signal
// frames, from the frame whose registers are given, and writes the return
// addresses of at most `wanted` frames after passing `skip`; returns how many
// it wrote. That first frame itself is not written; its pc is the address
// just after the instruction where the registers were taken, as a return
// address is (capture_registers gives it so). The registers come one by one,
// in the processor's: read back from memory just after being stored, they
// would wait on the stores.
std::uint32_t walk_x86_64(std::uintptr_t pc, std::uintptr_t sp, std::uintptr_t bp, std::uintptr_t bx, void** out,
                          std::uint64_t skip, std::uint32_t wanted);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
