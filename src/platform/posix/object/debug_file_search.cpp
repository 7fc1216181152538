#include "platform/posix/object/debug_file_search.hpp"

#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/posix/support/paths.hpp"
#include "platform/posix/support/work_counts.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// A file is checksummed only if it is no larger than this, and no larger
// than its own headers and sections make it (a debug file ends with them).
constexpr std::uint64_t most_checksummed = std::uint64_t{256} << 20;
constexpr std::uint64_t most_slack = std::uint64_t{64} * 1024;

// Debug sections or a symbol table: a file with neither is of no use.
bool has_debug_content(const elf_file& file) {
    return file.has_section_named(".debug_info") || file.has_section_named(".zdebug_info") ||
           file.has_section_named(".symtab");
}

bool plausible_debug_file(const elf_file& file) {
    return has_debug_content(file) && file.file_size() <= most_checksummed &&
           file.file_size() <= file.extent() + most_slack;
}

// The CRC-32 of the debug link (zlib's), here so that a debug link does not
// need zlib loaded.
constexpr std::array<std::uint32_t, 256> crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? 0xedb88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

// Carries a running CRC (started at 0xffffffff, finished by inverting it)
// over more bytes.
std::uint32_t crc32_update(std::uint32_t c, const std::uint8_t* bytes, std::size_t size) {
    static constexpr std::array<std::uint32_t, 256> table = crc_table();
    for (std::size_t i = 0; i < size; ++i) c = table[(c ^ bytes[i]) & 0xffu] ^ (c >> 8);
    return c;
}

bool checksum_matches(const elf_file& file, std::uint32_t crc) {
    std::vector<std::uint8_t> chunk(std::size_t{64} * 1024);
    std::uint32_t sum = 0xffffffffu;
    for (std::uint64_t at = 0; at < file.file_size();) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), file.file_size() - at));
        if (!file.read(at, count, chunk.data())) return false;
        sum = crc32_update(sum, chunk.data(), count);
        count_work(counted_work.bytes_checksummed, count);
        at += count;
    }
    return (sum ^ 0xffffffffu) == crc;
}

// A build-id decides alone; without one, the debug link's checksum, over a
// file that is plausibly a debug file at all.
bool matches(const elf_file& candidate, const build_id& id, bool check_crc, std::uint32_t crc) {
    if (!id.empty()) return candidate.id() == id && has_debug_content(candidate);
    return check_crc && plausible_debug_file(candidate) && checksum_matches(candidate, crc);
}

std::unique_ptr<elf_file> try_candidate(const std::string& path, const std::string& object_path, const build_id& id,
                                        bool check_crc, std::uint32_t crc) {
    if (path == object_path) return nullptr;
    std::unique_ptr<elf_file> candidate = elf_file::open(path.c_str());
    if (candidate == nullptr || !matches(*candidate, id, check_crc, crc)) return nullptr;
    return candidate;
}

std::unique_ptr<elf_file> find_local_debug_file(const elf_file& object, const std::string& object_path,
                                                const build_id& id, const std::vector<std::string>& roots) {
    if (id.size() >= 2) {
        for (const std::string& root : roots) {
            std::unique_ptr<elf_file> found = try_candidate(build_id_path(root.c_str(), id), object_path, id, false, 0);
            if (found != nullptr) return found;
        }
    }

    // A file name and a checksum; a name longer than a path can be is none.
    const elf_section* section = object.find(".gnu_debuglink");
    if (section == nullptr || section->size < 8) return nullptr;
    std::vector<char> link(std::min<std::size_t>(section->size, PATH_MAX + 8));
    if (!object.read(section->offset, link.size(), link.data())) return nullptr;
    const char* name = link.data();
    const std::size_t name_length = strnlen(name, link.size());
    if (name_length == 0 || name_length == link.size() || std::strchr(name, '/') != nullptr) return nullptr;
    const std::size_t crc_at = (name_length + 1 + 3) & ~std::size_t{3};
    if (crc_at + 4 > link.size()) return nullptr;
    std::uint32_t crc = 0;
    std::memcpy(&crc, link.data() + crc_at, 4);

    std::string directories[2] = {directory_of(object_path), std::string()};
    char resolved[PATH_MAX];
    if (realpath(directories[0].c_str(), resolved) != nullptr && directories[0] != resolved) directories[1] = resolved;
    for (const std::string& directory : directories) {
        if (directory.empty()) continue;
        const std::string base = directory == "/" ? std::string() : directory;
        std::vector<std::string> candidates = {base + "/" + name, base + "/.debug/" + name};
        for (const std::string& root : roots) candidates.push_back(root + base + "/" + name);
        for (const std::string& path : candidates) {
            std::unique_ptr<elf_file> found = try_candidate(path, object_path, id, true, crc);
            if (found != nullptr) return found;
        }
    }
    return nullptr;
}

} // namespace

const char* const system_debug_root = "/usr/lib/debug";
const char* const debug_path_variable = "CALLTRAIL_DEBUG_PATH";

std::vector<std::string> debug_roots_from_environment() {
    std::vector<std::string> roots;
    if (const char* value = secure_getenv(debug_path_variable)) {
        for (const char* part = value;;) {
            const char* end = std::strchr(part, ':');
            const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - part) : std::strlen(part);
            // Relative directories would depend on where the program stands.
            if (length > 1 && part[0] == '/') roots.emplace_back(part, length);
            if (end == nullptr) break;
            part = end + 1;
        }
    }
    roots.emplace_back(system_debug_root);
    return roots;
}

std::string build_id_path(const char* root, const build_id& id) {
    static const char digits[] = "0123456789abcdef";
    std::string path(root);
    path += "/.build-id/";
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (i == 1) path += '/';
        path += digits[id[i] >> 4];
        path += digits[id[i] & 15];
    }
    path += ".debug";
    return path;
}

std::unique_ptr<elf_file> find_debug_file(const elf_file& object, const std::string& object_path, const build_id& id) {
    return find_debug_file(object, object_path, id, debug_places{debug_roots_from_environment(), nullptr});
}

std::unique_ptr<elf_file> find_debug_file(const elf_file& object, const std::string& object_path, const build_id& id,
                                          const debug_places& places) {
    std::unique_ptr<elf_file> found = find_local_debug_file(object, object_path, id, places.roots);
    if (found == nullptr && places.by_build_id && id.size() >= 2) {
        found = places.by_build_id(id);
        if (found != nullptr && !matches(*found, id, false, 0)) found = nullptr;
    }
    return found;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
