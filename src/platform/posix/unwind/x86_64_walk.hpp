#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_X86_64_WALK_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_X86_64_WALK_HPP

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// Registers by their DWARF numbers; bit n of known says that value[n] holds
// register n.
struct machine_state {
    static constexpr unsigned count = 17;
    static constexpr unsigned rbx = 3;
    static constexpr unsigned rbp = 6;
    static constexpr unsigned rsp = 7;
    static constexpr unsigned rip = 16;

    std::uintptr_t value[count];
    std::uint32_t known;
};

// The registers of the function this is expanded into, at this point of it.
__attribute__((always_inline)) inline void capture_registers(std::uintptr_t& pc, std::uintptr_t& sp, std::uintptr_t& bp,
                                                             std::uintptr_t& bx) {
    __asm__ __volatile__("leaq 0(%%rip), %0\n\tmovq %%rsp, %1\n\tmovq %%rbp, %2\n\tmovq %%rbx, %3"
                         : "=r"(pc), "=r"(sp), "=r"(bp), "=r"(bx));
}

// Signal-safe: no lock, no allocation, no thread-local storage, about a
// kilobyte of stack. Unwinds by the objects' DWARF CFI, through signal
// frames, from the frame whose registers are given, and writes the return
// addresses of at most `wanted` frames after passing `skip`; returns how many
// it wrote. That first frame itself is not written. The registers come one by
// one, in the processor's: read back from memory just after being stored,
// they would wait on the stores.
std::uint32_t walk_x86_64(std::uintptr_t pc, std::uintptr_t sp, std::uintptr_t bp, std::uintptr_t bx, void** out,
                          std::uint64_t skip, std::uint32_t wanted);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
