#ifndef KORVO_CALLTRAIL_POSIX_SUPPORT_LEB128_HPP
#define KORVO_CALLTRAIL_POSIX_SUPPORT_LEB128_HPP

// LEB128 numbers, for the DWARF readers and the signal-safe unwinder alike:
// inline, no allocation, no call beyond the byte source. Bits past the 64th
// are dropped rather than shifted out of range.

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_engine {

// `next(byte)` gives the next byte, or false when there is none; a number cut
// short reads as 0.
template <class NextByte> std::uint64_t read_uleb128(NextByte&& next) {
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        std::uint8_t byte = 0;
        if (!next(byte)) return 0;
        if (shift < 64) value |= std::uint64_t{byte & 0x7fu} << shift;
        if ((byte & 0x80u) == 0) return value;
    }
}

template <class NextByte> std::int64_t read_sleb128(NextByte&& next) {
    std::uint64_t value = 0;
    unsigned shift = 0;
    std::uint8_t byte = 0;
    do {
        if (!next(byte)) return 0;
        if (shift < 64) value |= std::uint64_t{byte & 0x7fu} << shift;
        shift += 7;
    } while ((byte & 0x80u) != 0);
    if (shift < 64 && (byte & 0x40u) != 0) value |= ~std::uint64_t{0} << shift;
    return static_cast<std::int64_t>(value);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
