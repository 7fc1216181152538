#ifndef KORVO_CALLTRAIL_POSIX_DWARF_DWARF_CURSOR_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_DWARF_CURSOR_HPP

// The one way DWARF bytes are read: bounded, little-endian, failing softly.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/posix/object/section_data.hpp"
#include "platform/posix/support/leb128.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// A little-endian number of 1 to 8 bytes.
inline std::uint64_t little_endian(const std::uint8_t* bytes, unsigned size) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (size == 4) {
        std::uint32_t value;
        std::memcpy(&value, bytes, 4);
        return value;
    }
    if (size == 8) {
        std::uint64_t value;
        std::memcpy(&value, bytes, 8);
        return value;
    }
#endif
    std::uint64_t value = 0;
    for (unsigned i = 0; i < size && i < 8; ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
    return value;
}

// Reads little-endian DWARF data from [position, limit) of a section,
// reading or inflating it as it goes. Any read past the limit or into a
// broken stream sets the cursor failed; reads then give zeros, so parsers
// check ok() at their decision points instead of after every field. A read
// throws only when the process is out of descriptors or memory (see
// section_data::ensure), which a later lookup may not be.
class dwarf_cursor {
public:
    dwarf_cursor() noexcept : ok_(false) {}
    dwarf_cursor(section_data* section, std::size_t position, std::size_t limit) noexcept
        : section_(section), position_(position),
          limit_(section != nullptr && limit > section->size() ? section->size() : limit) {
        if (section == nullptr || position > limit_) ok_ = false;
    }

    bool ok() const noexcept { return ok_; }
    std::size_t position() const noexcept { return position_; }
    std::size_t limit() const noexcept { return limit_; }
    bool at_end() const noexcept { return !ok_ || position_ >= limit_; }

    // Moves to an absolute position inside the limit.
    void seek(std::size_t position) noexcept {
        if (position > limit_)
            ok_ = false;
        else
            position_ = position;
    }

    // Makes the rest of the cursor's range readable at once, for a reader
    // that will walk all of it.
    bool prefetch() {
        if (!ok_ || !section_->ensure(position_, limit_)) ok_ = false;
        return ok_;
    }

    // The next `count` bytes where they lie, passed over; null when they
    // cannot be had.
    const std::uint8_t* take(std::uint64_t count) {
        if (!need(count)) return nullptr;
        const std::uint8_t* bytes = section_->bytes() + position_;
        position_ += static_cast<std::size_t>(count);
        return bytes;
    }

    bool skip(std::uint64_t count) {
        if (!need(count)) return false;
        position_ += static_cast<std::size_t>(count);
        return true;
    }

    std::uint8_t u8() {
        if (!need(1)) return 0;
        return section_->bytes()[position_++];
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(fixed(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(fixed(4)); }
    std::uint64_t u64() { return fixed(8); }

    // Fixed-size unsigned value of 1 to 8 bytes.
    std::uint64_t fixed(unsigned size) {
        if (size > 8 || !need(size)) {
            ok_ = false;
            return 0;
        }
        const std::uint8_t* p = section_->bytes() + position_;
        position_ += size;
        return little_endian(p, size);
    }

    std::uint64_t uleb() {
        // Entry codes, forms and most numbers take one byte.
        if (ok_ && position_ < limit_ && section_->ensure(position_, position_ + 1)) {
            const std::uint8_t first = section_->bytes()[position_];
            if (first < 0x80) {
                ++position_;
                return first;
            }
        }
        return read_uleb128(next_byte_source{*this});
    }
    std::int64_t sleb() { return read_sleb128(next_byte_source{*this}); }

    // A NUL-terminated string in place; null when unterminated.
    const char* c_string() {
        const std::size_t start = position_;
        for (;;) {
            if (!need(1)) return nullptr;
            if (section_->bytes()[position_++] == 0) break;
        }
        return reinterpret_cast<const char*>(section_->bytes() + start);
    }

private:
    struct next_byte_source {
        dwarf_cursor& cursor;
        bool operator()(std::uint8_t& byte) {
            if (!cursor.need(1)) return false;
            byte = cursor.section_->bytes()[cursor.position_++];
            return true;
        }
    };

    bool need(std::uint64_t count) {
        if (!ok_ || count > limit_ - position_ ||
            !section_->ensure(position_, position_ + static_cast<std::size_t>(count))) {
            ok_ = false;
            return false;
        }
        return true;
    }

    section_data* section_ = nullptr;
    std::size_t position_ = 0;
    std::size_t limit_ = 0;
    bool ok_ = true;
};

// The length that opens every unit, table and line program: 32 bits, or an
// escape followed by 64 bits, which also makes the offsets inside 64-bit.
// False when it is reserved or reaches past the cursor's limit; otherwise
// `end` is where the unit ends.
inline bool read_initial_length(dwarf_cursor& cursor, std::size_t& end, bool& offset64) {
    std::uint64_t length = cursor.u32();
    offset64 = length == 0xffffffffu;
    if (offset64)
        length = cursor.u64();
    else if (length >= 0xfffffff0u)
        return false;
    if (!cursor.ok() || length > cursor.limit() - cursor.position()) return false;
    end = cursor.position() + static_cast<std::size_t>(length);
    return true;
}

// Strings that name files and directories are read no further than this: a
// path can be only so long, and a bound keeps many entries that share one
// long string from costing its length each.
constexpr std::size_t longest_path = std::size_t{16} * 1024;

// The NUL-terminated string at an offset of a string section, or null when
// there is none within `longest` bytes.
inline const char* string_at(section_data* section, std::uint64_t offset, std::size_t longest = longest_path) {
    if (section == nullptr || offset >= section->size()) return nullptr;
    const std::size_t begin = static_cast<std::size_t>(offset);
    const std::size_t most = std::min(section->size() - begin, longest + 1);
    // Most strings are short: a compressed section is inflated no further
    // than the string needs, give or take.
    for (std::size_t reach = std::min<std::size_t>(most, 256);; reach = std::min(most, reach * 16)) {
        if (!section->ensure(begin, begin + reach)) return nullptr;
        const char* text = reinterpret_cast<const char*>(section->bytes() + begin);
        if (std::memchr(text, 0, reach) != nullptr) return text;
        if (reach == most) return nullptr;
    }
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
