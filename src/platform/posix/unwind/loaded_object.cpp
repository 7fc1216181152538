#include "platform/posix/unwind/loaded_object.hpp"

#include "platform/posix/support/elf_notes.hpp"

#include <elf.h>
#include <link.h>

#include <cstddef>
#include <cstring>

namespace korvo {
namespace calltrail {
namespace posix_unwind {
namespace {

// The object's program headers, from the ELF header that opens its first
// mapping; every read checked against the object's span.
bool program_headers(const loaded_object& object, const Elf64_Phdr*& headers, std::size_t& count) {
    const auto* base = reinterpret_cast<const std::uint8_t*>(object.start);
    const std::size_t span = object.end - object.start;
    Elf64_Ehdr header;
    if (span < sizeof header) return false;
    std::memcpy(&header, base, sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > 256 || header.e_phoff > span ||
        std::size_t{header.e_phnum} * sizeof(Elf64_Phdr) > span - header.e_phoff)
        return false;
    headers = reinterpret_cast<const Elf64_Phdr*>(base + header.e_phoff);
    count = header.e_phnum;
    return true;
}

// The header of the build-id note among notes, 0 where there is none.
std::uintptr_t build_id_in(const std::uint8_t* notes, std::size_t size) {
    posix_engine::build_id_note note;
    if (!posix_engine::find_build_id_note(notes, size, note) || note.size < 16 || note.size > 64) return 0;
    return reinterpret_cast<std::uintptr_t>(note.header);
}

} // namespace

bool find_loaded_object(std::uintptr_t address, loaded_object& object, const link_map*& map) {
    dl_find_object found;
    if (_dl_find_object(reinterpret_cast<void*>(address), &found) != 0) return false;
    object.start = reinterpret_cast<std::uintptr_t>(found.dlfo_map_start);
    object.end = reinterpret_cast<std::uintptr_t>(found.dlfo_map_end);
    object.eh_frame_hdr = static_cast<const std::uint8_t*>(found.dlfo_eh_frame);
    map = found.dlfo_link_map;
    object.load_bias = map != nullptr ? map->l_addr : 0;
    return object.contains(address);
}

bool executable_code(const loaded_object& object, std::uintptr_t address, std::uintptr_t size) {
    const Elf64_Phdr* headers = nullptr;
    std::size_t count = 0;
    if (!object.contains(address) || !program_headers(object, headers, count)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        Elf64_Phdr segment;
        std::memcpy(&segment, &headers[i], sizeof segment);
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
        const std::uintptr_t low = object.load_bias + segment.p_vaddr;
        if (address >= low && address - low < segment.p_filesz && size <= segment.p_filesz - (address - low) &&
            object.contains(address + size - 1))
            return true;
    }
    return false;
}

std::uintptr_t build_id_note(const loaded_object& object) {
    const Elf64_Phdr* headers = nullptr;
    std::size_t count = 0;
    if (!program_headers(object, headers, count)) return 0;
    for (std::size_t i = 0; i < count; ++i) {
        Elf64_Phdr segment;
        std::memcpy(&segment, &headers[i], sizeof segment);
        const std::uintptr_t notes = object.load_bias + segment.p_vaddr;
        if (segment.p_type != PT_NOTE || !object.contains(notes) || segment.p_filesz > object.end - notes) continue;
        if (const std::uintptr_t note = build_id_in(reinterpret_cast<const std::uint8_t*>(notes), segment.p_filesz))
            return note;
    }
    return 0;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
