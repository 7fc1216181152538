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

std::unique_ptr<section_data> from_elf_compressed(const elf_section& section) {
    ElfW(Chdr) header;
    if (section.size < sizeof header) return nullptr;
    std::memcpy(&header, section.data, sizeof header);
    const std::uint8_t* stream = section.data + sizeof header;
    const std::size_t stream_size = section.size - sizeof header;
    const auto size = static_cast<std::size_t>(header.ch_size);
    if (header.ch_type == ELFCOMPRESS_ZLIB) return section_data::zlib(stream, stream_size, size);
    if (header.ch_type == elf_compress_zstd) return section_data::zstd(stream, stream_size, size);
    return nullptr;
}

// The older GNU form: "ZLIB", the size in big-endian order, the stream.
std::unique_ptr<section_data> from_gnu_compressed(const elf_section& section) {
    if (section.data == nullptr || section.size < 12 || std::memcmp(section.data, "ZLIB", 4) != 0) return nullptr;
    std::uint64_t size = 0;
    for (int i = 4; i < 12; ++i) size = size << 8 | section.data[i];
    return section_data::zlib(section.data + 12, section.size - 12, static_cast<std::size_t>(size));
}

} // namespace

std::unique_ptr<section_data> open_debug_section(const elf_file& file, const char* short_name) {
    const std::string plain_name = std::string(".debug_") + short_name;
    if (const elf_section* section = file.find(plain_name.c_str())) {
        if (section->data == nullptr) return nullptr;
        if ((section->flags & SHF_COMPRESSED) == 0) return section_data::plain(section->data, section->size);
        return from_elf_compressed(*section);
    }
    const std::string gnu_name = std::string(".zdebug_") + short_name;
    const elf_section* section = file.find(gnu_name.c_str());
    return section != nullptr ? from_gnu_compressed(*section) : nullptr;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
