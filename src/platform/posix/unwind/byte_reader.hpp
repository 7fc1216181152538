#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_BYTE_READER_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_BYTE_READER_HPP

// Signal-safe: reads only inside the range it was given, allocates nothing,
// calls nothing. A read past the end yields 0 and leaves the reader failed,
// so callers check ok() once after a run of reads.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/posix/support/leb128.hpp"

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// DW_EH_PE pointer encodings of .eh_frame and .eh_frame_hdr.
namespace pointer_encoding {
constexpr std::uint8_t omit = 0xff;
constexpr std::uint8_t absptr = 0x00;
constexpr std::uint8_t uleb128 = 0x01;
constexpr std::uint8_t udata2 = 0x02;
constexpr std::uint8_t udata4 = 0x03;
constexpr std::uint8_t udata8 = 0x04;
constexpr std::uint8_t sleb128 = 0x09;
constexpr std::uint8_t sdata2 = 0x0a;
constexpr std::uint8_t sdata4 = 0x0b;
constexpr std::uint8_t sdata8 = 0x0c;
constexpr std::uint8_t pcrel = 0x10;
constexpr std::uint8_t datarel = 0x30;
} // namespace pointer_encoding

class byte_reader {
public:
    byte_reader(const std::uint8_t* begin, const std::uint8_t* end) : at_(begin), end_(end) {}

    bool ok() const { return ok_; }
    const std::uint8_t* position() const { return at_; }
    std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

    std::uint8_t u8() { return fixed<std::uint8_t>(); }
    std::uint16_t u16() { return fixed<std::uint16_t>(); }
    std::uint32_t u32() { return fixed<std::uint32_t>(); }
    std::uint64_t u64() { return fixed<std::uint64_t>(); }
    std::int8_t s8() { return fixed<std::int8_t>(); }
    std::int16_t s16() { return fixed<std::int16_t>(); }
    std::int32_t s32() { return fixed<std::int32_t>(); }
    std::int64_t s64() { return fixed<std::int64_t>(); }

    std::uint64_t uleb128() { return posix_engine::read_uleb128(next_byte_source{*this}); }
    std::int64_t sleb128() { return posix_engine::read_sleb128(next_byte_source{*this}); }

    void skip(std::size_t count) {
        if (count > left()) {
            fail();
            return;
        }
        at_ += count;
    }

    // An encoded pointer: pc-relative to where it is stored, or relative to
    // data_base. Indirect pointers are not followed: the walk needs none.
    std::uintptr_t pointer(std::uint8_t encoding, std::uintptr_t data_base = 0) {
        const auto here = reinterpret_cast<std::uintptr_t>(at_);
        std::uintptr_t value = 0;
        switch (encoding & 0x0f) {
        case pointer_encoding::absptr:
            value = u64();
            break;
        case pointer_encoding::uleb128:
            value = uleb128();
            break;
        case pointer_encoding::udata2:
            value = u16();
            break;
        case pointer_encoding::udata4:
            value = u32();
            break;
        case pointer_encoding::udata8:
            value = u64();
            break;
        case pointer_encoding::sleb128:
            value = static_cast<std::uintptr_t>(sleb128());
            break;
        case pointer_encoding::sdata2:
            value = static_cast<std::uintptr_t>(std::intptr_t{s16()});
            break;
        case pointer_encoding::sdata4:
            value = static_cast<std::uintptr_t>(std::intptr_t{s32()});
            break;
        case pointer_encoding::sdata8:
            value = static_cast<std::uintptr_t>(s64());
            break;
        default:
            fail();
            return 0;
        }
        switch (encoding & 0x70) {
        case 0:
            break;
        case pointer_encoding::pcrel:
            value += here;
            break;
        case pointer_encoding::datarel:
            value += data_base;
            break;
        default:
            fail();
            return 0;
        }
        return value;
    }

    void fail() {
        ok_ = false;
        at_ = end_;
    }

private:
    struct next_byte_source {
        byte_reader& reader;
        bool operator()(std::uint8_t& byte) {
            byte = reader.u8();
            return reader.ok_;
        }
    };

    template <class T> T fixed() {
        if (left() < sizeof(T)) {
            fail();
            return 0;
        }
        T value;
        std::memcpy(&value, at_, sizeof value);
        at_ += sizeof value;
        return value;
    }

    const std::uint8_t* at_;
    const std::uint8_t* end_;
    bool ok_ = true;
};

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
