#ifndef KORVO_CALLTRAIL_ENGINE_ESCAPED_TEXT_HPP
#define KORVO_CALLTRAIL_ENGINE_ESCAPED_TEXT_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace korvo {
namespace calltrail {

// Whether any of eight bytes is a control character: below 32 (a borrow into
// a byte whose top bit was clear) or 127 (a zero byte after the xor).
inline bool has_control_byte(std::uint64_t bytes) {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t tops = 0x8080808080808080u;
    const std::uint64_t deletes = bytes ^ (ones * 0x7f);
    return (((bytes - ones * 0x20) & ~bytes) | ((deletes - ones) & ~deletes)) & tops;
}

// Names and paths come from files anyone may have named: a control character
// in one would start a forged line of a trace, or drive the terminal it is
// shown on. Control characters (below 32, and 127) are appended as escapes,
// \n, \r and \t by name and the others as \xHH; every other byte as it is.
inline void append_escaped(std::string& out, std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::size_t plain_from = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        // Names and paths are long and almost never hold a control character:
        // pass over them eight bytes at a time.
        if (text.size() - i >= 8) {
            std::uint64_t bytes;
            std::memcpy(&bytes, text.data() + i, sizeof bytes);
            if (!has_control_byte(bytes)) {
                i += 8;
                continue;
            }
        }
        const auto c = static_cast<unsigned char>(text[i++]);
        if (c >= 0x20 && c != 0x7f) continue;
        out.append(text.data() + plain_from, i - 1 - plain_from);
        plain_from = i;
        out += '\\';
        if (c == '\n') {
            out += 'n';
        } else if (c == '\r') {
            out += 'r';
        } else if (c == '\t') {
            out += 't';
        } else {
            out += 'x';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    out.append(text.data() + plain_from, text.size() - plain_from);
}

} // namespace calltrail
} // namespace korvo

#endif
