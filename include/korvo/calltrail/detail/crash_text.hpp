#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_TEXT_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_TEXT_HPP

// Text for crash reports, made without the heap or the C library's
// formatting: every part is signal-safe but the rendered trace, which is a
// report's last act. Part of crash_handler.hpp.

#include <korvo/calltrail/calltrail.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace korvo {
namespace calltrail {
namespace crash_detail {

const std::size_t most_frames = 64;

inline void write_to_standard_error(const char* text, std::size_t size) {
#if defined(_WIN32)
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(error, text, static_cast<DWORD>(size), &written, nullptr) || written == 0) return;
        text += written;
        size -= written;
    }
#else
    while (size > 0) {
        const ssize_t written = ::write(STDERR_FILENO, text, size);
        if (written <= 0) return;
        text += written;
        size -= static_cast<std::size_t>(written);
    }
#endif
}

// One line, assembled on the stack and written with one call, so that lines
// of threads crashing together do not interleave. Text that does not fit is
// cut; the line feed always has its place.
class crash_line {
public:
    crash_line& text(const char* part) {
        if (part == nullptr) return *this;
        while (*part != '\0' && size_ < capacity - 1) buffer_[size_++] = *part++;
        return *this;
    }

    // 0x and sixteen digits, as traces show addresses.
    crash_line& address(std::uintptr_t value) { return text("0x").hex(value, 16); }

    crash_line& hex(std::uintptr_t value, int least_digits = 1) {
        char digits[16];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value != 0 && count < 16);
        while (count < least_digits && count < 16) digits[count++] = '0';
        while (count > 0 && size_ < capacity - 1) buffer_[size_++] = digits[--count];
        return *this;
    }

    crash_line& number(std::uint64_t value) {
        char digits[20];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0 && size_ < capacity - 1) buffer_[size_++] = digits[--count];
        return *this;
    }

    // Writes the line with its line feed.
    void end() {
        buffer_[size_++] = '\n';
        write_to_standard_error(buffer_, size_);
        size_ = 0;
    }

private:
    static const std::size_t capacity = 480;
    char buffer_[capacity];
    std::size_t size_ = 0;
};

// The part that allocates and reads symbols; the watchdog bounds it.
inline void write_rendered_trace(const void* const* addresses, std::size_t count) {
    crash_line().text("trace:").end();
    try {
        frame frames[most_frames];
        for (std::size_t i = 0; i < count; ++i) frames[i] = frame(addresses[i]);
        const std::string text = detail::to_string(frames, count);
        write_to_standard_error(text.data(), text.size());
    } catch (...) {
        crash_line().text("(the trace could not be rendered)").end();
    }
}

} // namespace crash_detail
} // namespace calltrail
} // namespace korvo

#endif
