#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_TEXT_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_TEXT_HPP

// Text for crash reports, made without the heap or the C library's
// formatting, and where it goes. Part of crash_handler.hpp.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#include <korvo/calltrail/detail/windows_api.hpp>
#else
#include <unistd.h>
#endif

// Whether the file that includes the handler is built with exceptions and
// with run-time type information: the handler is compiled with the user's
// flags, and must build and work without either.
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS) || defined(_CPPUNWIND)
#define KORVO_CALLTRAIL_CRASH_EXCEPTIONS 1
#else
#define KORVO_CALLTRAIL_CRASH_EXCEPTIONS 0
#endif
#if defined(__cpp_rtti) || defined(__GXX_RTTI) || defined(_CPPRTTI)
#define KORVO_CALLTRAIL_CRASH_RTTI 1
#else
#define KORVO_CALLTRAIL_CRASH_RTTI 0
#endif

// Walks count frames, so the functions that walk keep theirs.
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define KORVO_CALLTRAIL_CRASH_NOINLINE __declspec(noinline)
#define KORVO_CALLTRAIL_CRASH_ALWAYS_INLINE __forceinline
#define KORVO_CALLTRAIL_CRASH_KEEP_FRAME() _ReadWriteBarrier()
#else
#define KORVO_CALLTRAIL_CRASH_NOINLINE __attribute__((noinline))
#define KORVO_CALLTRAIL_CRASH_ALWAYS_INLINE __attribute__((always_inline)) inline
#define KORVO_CALLTRAIL_CRASH_KEEP_FRAME() __asm__ __volatile__("" ::: "memory")
#endif

namespace korvo {
namespace calltrail {

// Receives each chunk of a crash report, in order; see crash_handler_settings.
typedef void (*crash_report_writer)(const char* text, std::size_t size, void* context);

namespace crash_detail {

// Where the report goes. Trivially constructible, so that the handler may be
// its first use: until the handler is installed, standard error.
struct report_destination {
    bool configured;
    bool to_descriptor;
#if defined(_WIN32)
    windows_api::handle descriptor;
#else
    int descriptor;
#endif
    crash_report_writer writer;
    void* writer_context;
    // While set, everything written is copied here too, up to its capacity;
    // copied counts what did not fit as well.
    char* copy;
    std::size_t copy_capacity;
    std::size_t copied;
};

inline report_destination& destination() {
    static report_destination shared;
    return shared;
}

inline void write_out(const char* text, std::size_t size) {
    report_destination& d = destination();
    if (d.copy != nullptr) {
        if (d.copied < d.copy_capacity)
            std::memcpy(d.copy + d.copied, text, size < d.copy_capacity - d.copied ? size : d.copy_capacity - d.copied);
        d.copied += size;
    }
    if (!d.configured || d.to_descriptor) {
#if defined(_WIN32)
        const windows_api::handle out =
            d.configured ? d.descriptor : ::GetStdHandle(windows_api::standard_error_handle);
        const char* rest = text;
        std::size_t left = size;
        while (left > 0) {
            windows_api::dword written = 0;
            const windows_api::dword chunk = left > 0x10000000u ? 0x10000000u : static_cast<windows_api::dword>(left);
            if (!::WriteFile(out, rest, chunk, &written, nullptr) || written == 0) break;
            rest += written;
            left -= written;
        }
#else
        const int out = d.configured ? d.descriptor : STDERR_FILENO;
        const char* rest = text;
        std::size_t left = size;
        while (left > 0) {
            const ssize_t written = ::write(out, rest, left);
            if (written <= 0) break;
            rest += written;
            left -= static_cast<std::size_t>(written);
        }
#endif
    }
    if (d.configured && d.writer != nullptr) d.writer(text, size, d.writer_context);
}

// One line, assembled on the stack and written when it ends or its buffer
// fills: nothing is ever cut, however long a path.
class crash_line {
public:
    crash_line() = default;
    crash_line(const crash_line&) = delete;
    crash_line& operator=(const crash_line&) = delete;

    crash_line& text(const char* part) {
        if (part == nullptr) return *this;
        while (*part != '\0') put(*part++);
        return *this;
    }

    crash_line& text(const char* part, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) put(part[i]);
        return *this;
    }

    // 0x and sixteen digits, as traces show addresses.
    crash_line& address(std::uintptr_t value) { return text("0x").hex(value, 16); }

    crash_line& hex(std::uint64_t value, int least_digits = 1) {
        char digits[16];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value != 0 && count < 16);
        while (count < least_digits && count < 16) digits[count++] = '0';
        while (count > 0) put(digits[--count]);
        return *this;
    }

    crash_line& number(std::uint64_t value) {
        char digits[20];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) put(digits[--count]);
        return *this;
    }

    crash_line& signed_number(long long value) {
        if (value < 0) put('-');
        return number(value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value));
    }

    // A frame's number, with the blanks that line frames up.
    crash_line& position(std::uint64_t value) { return text(value < 10 ? "  " : " ").number(value); }

    // Text from outside (a path, a name, what() of an exception) with its
    // control characters escaped, so that it cannot forge a line: \n, \r, \t
    // by name, the others as \xHH. Where the text must be read back exactly
    // (the raw part's paths), a backslash is doubled too.
    crash_line& escaped(const char* part, std::size_t size, bool reversible) {
        for (std::size_t i = 0; i < size; ++i) {
            const unsigned char c = static_cast<unsigned char>(part[i]);
            if (c >= 0x20 && c != 0x7f && !(reversible && c == '\\')) {
                put(static_cast<char>(c));
                continue;
            }
            put('\\');
            if (c == '\\')
                put('\\');
            else if (c == '\n')
                put('n');
            else if (c == '\r')
                put('r');
            else if (c == '\t')
                put('t');
            else
                put('x').hex(c, 2);
        }
        return *this;
    }

    crash_line& escaped(const char* part, bool reversible) {
        std::size_t size = 0;
        if (part != nullptr)
            while (part[size] != '\0') ++size;
        return escaped(part, size, reversible);
    }

    // Writes the line with its line feed.
    void end() {
        put('\n');
        flush();
    }

    ~crash_line() { flush(); }

private:
    crash_line& put(char c) {
        if (size_ == capacity) flush();
        buffer_[size_++] = c;
        return *this;
    }

    void flush() {
        if (size_ > 0) write_out(buffer_, size_);
        size_ = 0;
    }

    static const std::size_t capacity = 256;
    char buffer_[capacity];
    std::size_t size_ = 0;
};

} // namespace crash_detail
} // namespace calltrail
} // namespace korvo

#endif
