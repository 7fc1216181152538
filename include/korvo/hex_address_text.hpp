#ifndef KORVO_HEX_ADDRESS_TEXT_HPP
#define KORVO_HEX_ADDRESS_TEXT_HPP

#include <cstddef>
#include <cstdint>

#include <korvo/array.hpp>

namespace korvo {

// "0x" and all 16 upper-case digits of a 64-bit address, leading zeros
// included, then the terminator: always 18 visible characters, so addresses
// line up in a trace.
inline array<char, 19> hex_address_text(std::uint64_t address) noexcept {
    constexpr const char* digits = "0123456789ABCDEF";
    array<char, 19> text{{'0', 'x'}};
    std::size_t position = 17;
    for (int byte = 0; byte < 8; ++byte) {
        const unsigned bits = static_cast<unsigned>(address >> (8 * byte)) & 0xFFu;
        text[position] = digits[bits & 0xFu];
        text[position - 1] = digits[bits >> 4];
        position -= 2;
    }
    return text;
}

} // namespace korvo

#endif
