#include "platform/posix/object/debug_file_search.hpp"

#include <limits.h>
#include <stdlib.h>

#include <array>
#include <cstring>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

constexpr const char* system_debug_root = "/usr/lib/debug";

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

std::uint32_t crc32_of(const std::uint8_t* bytes, std::size_t size) {
    static constexpr std::array<std::uint32_t, 256> table = crc_table();
    std::uint32_t c = 0xffffffffu;
    for (std::size_t i = 0; i < size; ++i) c = table[(c ^ bytes[i]) & 0xffu] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

bool matches(const elf_file& candidate, const build_id& id, bool check_crc, std::uint32_t crc) {
    if (!id.empty()) return candidate.id() == id;
    return check_crc && crc32_of(candidate.image(), candidate.image_size()) == crc;
}

// Debug sections or a symbol table: a file with neither is of no use.
bool has_debug_content(const elf_file& file) {
    return file.has_section_named(".debug_info") || file.has_section_named(".zdebug_info") ||
           file.has_section_named(".symtab");
}

std::string directory_of(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::unique_ptr<elf_file> try_candidate(const std::string& path, const std::string& object_path, const build_id& id,
                                        bool check_crc, std::uint32_t crc) {
    if (path == object_path) return nullptr;
    std::unique_ptr<elf_file> candidate = elf_file::open(path.c_str());
    if (candidate == nullptr || !matches(*candidate, id, check_crc, crc) || !has_debug_content(*candidate))
        return nullptr;
    return candidate;
}

} // namespace

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
    if (id.size() >= 2) {
        std::unique_ptr<elf_file> found =
            try_candidate(build_id_path(system_debug_root, id), object_path, id, false, 0);
        if (found != nullptr) return found;
    }

    const elf_section* link = object.find(".gnu_debuglink");
    if (link == nullptr || link->data == nullptr || link->size < 8) return nullptr;
    const char* name = reinterpret_cast<const char*>(link->data);
    const std::size_t name_length = strnlen(name, link->size);
    if (name_length == 0 || name_length == link->size || std::strchr(name, '/') != nullptr) return nullptr;
    const std::size_t crc_at = (name_length + 1 + 3) & ~std::size_t{3};
    if (crc_at + 4 > link->size) return nullptr;
    std::uint32_t crc = 0;
    std::memcpy(&crc, link->data + crc_at, 4);

    std::string directories[2] = {directory_of(object_path), std::string()};
    char resolved[PATH_MAX];
    if (realpath(directories[0].c_str(), resolved) != nullptr && directories[0] != resolved) directories[1] = resolved;
    for (const std::string& directory : directories) {
        if (directory.empty()) continue;
        const std::string base = directory == "/" ? std::string() : directory;
        const std::string candidates[] = {base + "/" + name, base + "/.debug/" + name,
                                          std::string(system_debug_root) + base + "/" + name};
        for (const std::string& path : candidates) {
            std::unique_ptr<elf_file> found = try_candidate(path, object_path, id, true, crc);
            if (found != nullptr) return found;
        }
    }
    return nullptr;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
