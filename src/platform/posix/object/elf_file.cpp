#include "platform/posix/object/elf_file.hpp"

#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstring>

#include "platform/posix/support/elf_notes.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

using file_header = ElfW(Ehdr);
using section_header = ElfW(Shdr);
using program_header = ElfW(Phdr);

// Only objects of this process's own class are read, so ElfW types fit.
constexpr unsigned char own_class = sizeof(ElfW(Addr)) == 8 ? ELFCLASS64 : ELFCLASS32;

bool own_byte_order(unsigned char data) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return data == ELFDATA2LSB;
#else
    return data == ELFDATA2MSB;
#endif
}

// Section names of real objects take a few kilobytes.
constexpr std::size_t most_name_bytes = std::size_t{4} << 20;
// The build-id note is small and comes first among few.
constexpr std::size_t most_note_bytes = std::size_t{64} * 1024;

bool inside(std::uint64_t offset, std::uint64_t size, std::uint64_t limit) {
    return offset <= limit && size <= limit - offset;
}

} // namespace

build_id build_id_in_notes(const std::uint8_t* notes, std::size_t size) {
    build_id_note note;
    if (!find_build_id_note(notes, size, note)) return build_id();
    return build_id(note.id, note.id + note.size);
}

std::unique_ptr<elf_file> elf_file::open(const char* path) {
    struct stat status {};
    unique_fd fd = open_regular_file(path, status);
    if (!fd) return nullptr;
    return open_file(std::make_shared<file_source>(path, std::move(fd), status));
}

std::unique_ptr<elf_file> elf_file::open_file(std::shared_ptr<file_source> file) {
    std::unique_ptr<elf_file> elf(new elf_file());
    elf->size_ = file->size();
    elf->file_ = std::move(file);
    if (!elf->parse()) return nullptr;
    return elf;
}

std::unique_ptr<elf_file> elf_file::copy_of(const void* image, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(image);
    return adopt(std::vector<std::uint8_t>(bytes, bytes + size));
}

std::unique_ptr<elf_file> elf_file::adopt(std::vector<std::uint8_t> image) {
    std::unique_ptr<elf_file> elf(new elf_file());
    elf->size_ = image.size();
    elf->copy_ = std::move(image);
    if (!elf->parse()) return nullptr;
    return elf;
}

bool elf_file::read(std::uint64_t offset, std::size_t size, void* out) const {
    if (!inside(offset, size, size_)) return false;
    if (file_ != nullptr) return file_->read(offset, size, out);
    std::memcpy(out, copy_.data() + offset, size);
    return true;
}

bool elf_file::parse() {
    file_header header;
    if (!read(0, sizeof header, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != own_class || !own_byte_order(header.e_ident[EI_DATA]))
        return false;
    // Counts too large for the header are kept in the first section header.
    std::size_t sections = header.e_shnum;
    std::size_t names_index = header.e_shstrndx;
    std::size_t segments = header.e_phnum;
    if (header.e_shoff != 0 && (sections == 0 || names_index == SHN_XINDEX || segments == PN_XNUM)) {
        section_header first;
        if (!read(header.e_shoff, sizeof first, &first)) return false;
        if (sections == 0) sections = static_cast<std::size_t>(first.sh_size);
        if (names_index == SHN_XINDEX) names_index = first.sh_link;
        if (segments == PN_XNUM) segments = first.sh_info;
    }
    extent_ = sizeof header;
    if (sections != 0 && header.e_shentsize != sizeof(section_header)) return false;
    if (segments != 0 && header.e_phentsize != sizeof(program_header)) return false;
    return read_section_headers(header.e_shoff, sections, names_index) &&
           read_program_headers(header.e_phoff, segments);
}

bool elf_file::read_section_headers(std::uint64_t offset, std::size_t count, std::size_t names_index) {
    if (count == 0) return true;
    if (count > size_ / sizeof(section_header) || !inside(offset, count * sizeof(section_header), size_)) return false;
    std::vector<section_header> headers(count);
    if (!read(offset, count * sizeof(section_header), headers.data())) return false;
    extent_ = std::max(extent_, offset + count * sizeof(section_header));
    if (names_index < count) {
        const section_header& names = headers[names_index];
        if (names.sh_type != SHT_NOBITS && names.sh_size <= most_name_bytes &&
            inside(names.sh_offset, names.sh_size, size_)) {
            names_.resize(static_cast<std::size_t>(names.sh_size) + 1);
            if (!read(names.sh_offset, static_cast<std::size_t>(names.sh_size), names_.data())) names_.clear();
        }
    }
    sections_.resize(count);
    for (std::size_t i = 1; i < count; ++i) {
        const section_header& h = headers[i];
        elf_section& section = sections_[i];
        section.name = h.sh_name < names_.size() ? names_.data() + h.sh_name : "";
        section.type = h.sh_type;
        section.flags = h.sh_flags;
        section.link = h.sh_link;
        section.offset = h.sh_offset;
        if (h.sh_type != SHT_NOBITS && inside(h.sh_offset, h.sh_size, size_)) {
            section.size = static_cast<std::size_t>(h.sh_size);
            extent_ = std::max(extent_, h.sh_offset + h.sh_size);
        }
    }
    find_build_id();
    return true;
}

bool elf_file::read_program_headers(std::uint64_t offset, std::size_t count) {
    if (count == 0) return true;
    // A table outside the file is no object's: its loads could not be known.
    if (count > size_ / sizeof(program_header) || !inside(offset, count * sizeof(program_header), size_)) return false;
    std::vector<program_header> headers(count);
    if (!read(offset, count * sizeof(program_header), headers.data())) return false;
    extent_ = std::max(extent_, offset + count * sizeof(program_header));
    for (const program_header& h : headers) {
        if (h.p_type != PT_LOAD) continue;
        loads_.push_back(load_segment{h.p_vaddr, h.p_memsz, h.p_offset, h.p_filesz, h.p_flags});
        if (inside(h.p_offset, h.p_filesz, size_)) extent_ = std::max(extent_, h.p_offset + h.p_filesz);
    }
    return true;
}

void elf_file::find_build_id() {
    for (const elf_section& section : sections_) {
        if (section.type != SHT_NOTE || section.size == 0) continue;
        std::vector<std::uint8_t> notes(std::min(section.size, most_note_bytes));
        if (!read(section.offset, notes.size(), notes.data())) continue;
        id_ = build_id_in_notes(notes.data(), notes.size());
        if (!id_.empty()) return;
    }
}

std::unique_ptr<section_data> elf_file::contents(const elf_section& section) const {
    if (section.size == 0) return nullptr;
    if (file_ == nullptr) return section_data::plain(copy_.data() + section.offset, section.size);
    return section_data::from_file(file_, section.offset, section.size);
}

const elf_section* elf_file::find(const char* name) const noexcept {
    for (const elf_section& section : sections_)
        if (std::strcmp(section.name, name) == 0) return &section;
    return nullptr;
}

bool elf_file::first_load_address(std::uint64_t& address) const noexcept {
    if (loads_.empty()) return false;
    address = loads_.front().address;
    return true;
}

bool elf_file::read_loaded(std::uint64_t address, std::size_t size, void* out) const {
    for (const load_segment& segment : loads_)
        if (address >= segment.address && inside(address - segment.address, size, segment.file_size))
            return read(segment.offset + (address - segment.address), size, out);
    return false;
}

void elf_file::let_go() const noexcept {
    if (file_ != nullptr) file_->let_go();
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
