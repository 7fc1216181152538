#include "platform/posix/debug_engine/process_mappings.hpp"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

std::string read_maps_text() {
    std::string text;
    int fd = -1;
    do {
        fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return text;
    unique_fd owned(fd);
    // Read straight into the text, with no buffer on the stack: this may run
    // on a signal handler's.
    std::size_t used = 0;
    for (;;) {
        if (text.size() - used < 4096) text.resize(std::max<std::size_t>(2 * text.size(), 16384));
        const ssize_t got = read(fd, &text[used], text.size() - used);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        used += static_cast<std::size_t>(got);
    }
    text.resize(used);
    return text;
}

// Past the spaces at `at`, then past the field that follows them.
const char* past_field(const char* at) {
    while (*at == ' ') ++at;
    while (*at != ' ' && *at != '\0') ++at;
    return at;
}

// An unsigned number in base 16 or 10 at `at`, moving past it; false when
// there is no digit, or more than a 64-bit value holds. strtoull would look
// up the locale for each of a few hundred numbers.
bool read_number(const char*& at, unsigned base, std::uint64_t& value) {
    value = 0;
    const char* const start = at;
    // Bounds worked out once, rather than a 64-bit division for each digit,
    // which takes tens of cycles.
    const std::uint64_t largest_before_digit = ~std::uint64_t{0} / base;
    const unsigned largest_last_digit = static_cast<unsigned>(~std::uint64_t{0} % base);
    for (;; ++at) {
        unsigned digit = 0;
        const char c = *at;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        if (value > largest_before_digit || (value == largest_before_digit && digit > largest_last_digit)) return false;
        value = value * base + digit;
    }
    return at != start;
}

// "low-high perms offset major:minor inode   path", read by hand: sscanf's
// frame alone would make a lookup in a signal handler need a larger stack.
bool parse_line(const char* line, const char* end, mapping& m) {
    const char* at = line;
    std::uint64_t major_number = 0;
    std::uint64_t minor_number = 0;
    std::uint64_t inode = 0;
    if (!read_number(at, 16, m.low) || *at != '-') return false;
    ++at;
    if (!read_number(at, 16, m.high)) return false;
    at = past_field(past_field(at));
    while (*at == ' ') ++at;
    if (!read_number(at, 16, major_number) || *at != ':') return false;
    ++at;
    if (!read_number(at, 16, minor_number)) return false;
    while (*at == ' ') ++at;
    if (!read_number(at, 10, inode)) return false;
    if (inode != 0)
        m.file = file_identity{static_cast<std::uint64_t>(makedev(static_cast<unsigned int>(major_number),
                                                                  static_cast<unsigned int>(minor_number))),
                               inode};
    const char* path = at;
    while (path < end && *path == ' ') ++path;
    if (path < end && *path == '/') m.path.assign(path, static_cast<std::size_t>(end - path));
    return true;
}

} // namespace

std::vector<mapping> read_mappings() {
    std::string text = read_maps_text();
    std::vector<mapping> mappings;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        // Numbers are read up to a NUL: each line ends with one.
        if (end < text.size()) text[end] = '\0';
        mapping m;
        if (parse_line(&text[at], &text[end], m)) mappings.push_back(std::move(m));
        at = end + 1;
    }
    std::sort(mappings.begin(), mappings.end(), [](const mapping& a, const mapping& b) { return a.low < b.low; });
    return mappings;
}

const mapping* mapping_at(const std::vector<mapping>& mappings, std::uint64_t address) noexcept {
    auto after = std::upper_bound(mappings.begin(), mappings.end(), address,
                                  [](std::uint64_t a, const mapping& m) { return a < m.low; });
    if (after == mappings.begin()) return nullptr;
    --after;
    return address < after->high ? &*after : nullptr;
}

std::string map_files_path(const mapping& m) {
    // As the kernel names them: "low-high" in lower-case hex, no leading zeros.
    const auto append_hex = [](std::string& out, std::uint64_t value) {
        char digits[16];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 15];
            value >>= 4;
        } while (value != 0);
        while (count > 0) out += digits[--count];
    };
    std::string path = "/proc/self/map_files/";
    append_hex(path, m.low);
    path += '-';
    append_hex(path, m.high);
    return path;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
