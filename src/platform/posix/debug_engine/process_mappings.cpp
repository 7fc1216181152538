#include "platform/posix/debug_engine/process_mappings.hpp"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

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
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// "low-high perms offset major:minor inode   path"
bool parse_line(const char* line, const char* end, mapping& m) {
    char* at = nullptr;
    m.low = std::strtoull(line, &at, 16);
    if (at == nullptr || *at != '-') return false;
    m.high = std::strtoull(at + 1, &at, 16);
    unsigned int major_number = 0;
    unsigned int minor_number = 0;
    unsigned long long inode = 0;
    int path_at = 0;
    if (std::sscanf(at, " %*s %*s %x:%x %llu %n", &major_number, &minor_number, &inode, &path_at) < 3) return false;
    if (inode != 0) m.file = file_identity{static_cast<std::uint64_t>(makedev(major_number, minor_number)), inode};
    const char* path = at + path_at;
    if (path < end && *path == '/') m.path.assign(path, static_cast<std::size_t>(end - path));
    return true;
}

} // namespace

std::vector<mapping> read_mappings() {
    const std::string text = read_maps_text();
    std::vector<mapping> mappings;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        // sscanf reads up to a NUL: the line is copied out to end with one.
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        mapping m;
        if (parse_line(line.c_str(), line.c_str() + line.size(), m)) mappings.push_back(std::move(m));
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
    char text[64];
    std::snprintf(text, sizeof text, "/proc/self/map_files/%" PRIx64 "-%" PRIx64, m.low, m.high);
    return text;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
