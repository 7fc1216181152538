#include "platform/posix/object/debug_section.hpp"

#include <elf.h>
#include <link.h>

#include <cstring>
#include <string>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Newer than some systems' <elf.h>.
constexpr std::uint32_t elf_compress_zstd = 2;

std::unique_ptr<section_data> from_elf_compressed(std::unique_ptr<section_data> stored) {
    ElfW(Chdr) header;
    if (!stored->copy_out(0, sizeof header, reinterpret_cast<std::uint8_t*>(&header))) return nullptr;
    const auto size = static_cast<std::size_t>(header.ch_size);
    if (header.ch_type == ELFCOMPRESS_ZLIB) return section_data::zlib(std::move(stored), sizeof header, size);
    if (header.ch_type == elf_compress_zstd) return section_data::zstd(std::move(stored), sizeof header, size);
    return nullptr;
}

// The older GNU form: "ZLIB", the size in big-endian order, the stream.
std::unique_ptr<section_data> from_gnu_compressed(std::unique_ptr<section_data> stored) {
    std::uint8_t header[12];
    if (!stored->copy_out(0, sizeof header, header) || std::memcmp(header, "ZLIB", 4) != 0) return nullptr;
    std::uint64_t size = 0;
    for (int i = 4; i < 12; ++i) size = size << 8 | header[i];
    return section_data::zlib(std::move(stored), sizeof header, static_cast<std::size_t>(size));
}

} // namespace

std::unique_ptr<section_data> open_debug_section(const elf_file& file, const char* short_name) {
    const std::string plain_name = std::string(".debug_") + short_name;
    if (const elf_section* section = file.find(plain_name.c_str())) {
        std::unique_ptr<section_data> stored = file.contents(*section);
        if (stored == nullptr || (section->flags & SHF_COMPRESSED) == 0) return stored;
        return from_elf_compressed(std::move(stored));
    }
    const std::string gnu_name = std::string(".zdebug_") + short_name;
    const elf_section* section = file.find(gnu_name.c_str());
    if (section == nullptr) return nullptr;
    std::unique_ptr<section_data> stored = file.contents(*section);
    return stored != nullptr ? from_gnu_compressed(std::move(stored)) : nullptr;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
