#ifndef KORVO_CALLTRAIL_ENGINE_ESCAPED_TEXT_HPP
#define KORVO_CALLTRAIL_ENGINE_ESCAPED_TEXT_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Where the first control character of a text is, or its size when it has
// none. Names and paths are long and almost never hold one: they are passed
// over sixteen or eight bytes at a time, the last block read where it
// overlaps the one before rather than byte by byte.
inline std::size_t first_control_byte(const char* data, std::size_t size) {
    std::size_t i = 0;
#if defined(__SSE2__)
    if (size >= 16) {
        const __m128i below = _mm_set1_epi8(0x1f);
        const __m128i del = _mm_set1_epi8(0x7f);
        const auto controls = [&](std::size_t at) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
            const __m128i control = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, below), v), _mm_cmpeq_epi8(v, del));
            return static_cast<unsigned>(_mm_movemask_epi8(control));
        };
        for (; i + 16 <= size; i += 16)
            if (const unsigned found = controls(i)) return i + static_cast<std::size_t>(__builtin_ctz(found));
        if (i == size) return size;
        // The bytes the last block shares with the one before are clean.
        const unsigned found = controls(size - 16);
        return found != 0 ? size - 16 + static_cast<std::size_t>(__builtin_ctz(found)) : size;
    }
#endif
    for (; i + 8 <= size; i += 8) {
        std::uint64_t bytes;
        std::memcpy(&bytes, data + i, sizeof bytes);
        if (has_control_byte(bytes)) break;
    }
    for (; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c < 0x20 || c == 0x7f) return i;
    }
    return size;
}

// Names and paths come from files anyone may have named: a control character
// in one would start a forged line of a trace, or drive the terminal it is
// shown on. Control characters (below 32, and 127) are appended as escapes,
// \n, \r and \t by name and the others as \xHH; every other byte as it is.
inline void append_escaped(std::string& out, std::string_view text) {
    std::size_t i = first_control_byte(text.data(), text.size());
    if (i == text.size()) {
        out.append(text.data(), text.size());
        return;
    }
    static const char digits[] = "0123456789abcdef";
    std::size_t plain_from = 0;
    while (i < text.size()) {
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
