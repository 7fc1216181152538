#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_X86_64_REGISTERS_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_X86_64_REGISTERS_HPP

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

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
