#include "platform/posix/debug_engine/call_instruction.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

#if defined(__x86_64__) || defined(__i386__)

const std::size_t longest_call = 7;

// A direct call, or an indirect one through a register or memory, with or
// without a REX prefix.
bool ends_in_call(const std::uint8_t* end) noexcept {
    const auto at = [end](int back) { return end[-back]; };
    if (at(5) == 0xE8) return true;                                                                   // call rel32
    if (at(2) == 0xFF && (at(1) & 0xF8) == 0xD0) return true;                                         // call *%reg
    if (at(2) == 0xFF && (at(1) & 0xF8) == 0x10 && (at(1) & 7) != 4 && (at(1) & 7) != 5) return true; // *(%reg)
    if (at(3) == 0xFF && (at(2) & 0xF8) == 0x50 && (at(2) & 7) != 4) return true;                     // *disp8(%reg)
    if (at(6) == 0xFF && (at(5) == 0x15 || ((at(5) & 0xF8) == 0x90 && (at(5) & 7) != 4))) return true;
    if (at(3) == 0xFF && at(2) == 0x14) return true; // *(%reg,%reg)
    if (at(4) == 0xFF && at(3) == 0x54) return true; // *disp8(%reg,%reg)
    if (at(7) == 0xFF && at(6) == 0x94) return true; // *disp32(%reg,%reg)
    return false;
}

#elif defined(__aarch64__)

const std::size_t longest_call = 4;

// Every instruction is one little-endian word, so the call is the word just
// before: BL, BLR, or one of pointer authentication's BLRAA, BLRAB, BLRAAZ
// and BLRABZ.
bool ends_in_call(const std::uint8_t* end) noexcept {
    const std::uint32_t word = std::uint32_t{end[-4]} | std::uint32_t{end[-3]} << 8 | std::uint32_t{end[-2]} << 16 |
                               std::uint32_t{end[-1]} << 24;
    return (word & 0xFC000000) == 0x94000000 || // bl label
           (word & 0xFFFFFC1F) == 0xD63F0000 || // blr xN
           (word & 0xFFFFF81F) == 0xD63F081F || // blraaz xN, blrabz xN
           (word & 0xFFFFF800) == 0xD73F0800;   // blraa xN, xM; blrab xN, xM
}

#else

const std::size_t longest_call = 0;

bool ends_in_call(const std::uint8_t*) noexcept { return false; }

#endif

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
