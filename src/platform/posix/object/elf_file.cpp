#include "platform/posix/object/elf_file.hpp"

#include <elf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <link.h>
#include <unistd.h>

#include <cstring>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

bool libelf_ready() {
    static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
    return ready;
}

// Only objects of this process's own class are read, so ElfW types fit.
constexpr unsigned char own_class = sizeof(ElfW(Addr)) == 8 ? ELFCLASS64 : ELFCLASS32;

bool own_byte_order(unsigned char data) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return data == ELFDATA2LSB;
#else
    return data == ELFDATA2MSB;
#endif
}

std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

} // namespace

build_id build_id_in_notes(const std::uint8_t* notes, std::size_t size) {
    std::size_t at = 0;
    while (size - at >= sizeof(ElfW(Nhdr))) {
        ElfW(Nhdr) header;
        std::memcpy(&header, notes + at, sizeof header);
        at += sizeof header;
        const std::size_t name_room = align4(header.n_namesz);
        const std::size_t desc_room = align4(header.n_descsz);
        if (name_room > size - at || desc_room > size - at - name_room) break;
        const bool gnu = header.n_namesz == 4 && std::memcmp(notes + at, "GNU", 4) == 0;
        if (gnu && header.n_type == NT_GNU_BUILD_ID && header.n_descsz > 0) {
            const std::uint8_t* desc = notes + at + name_room;
            return build_id(desc, desc + header.n_descsz);
        }
        at += name_room + desc_room;
    }
    return build_id();
}

elf_file::~elf_file() {
    if (elf_ != nullptr) elf_end(elf_);
    if (fd_ >= 0) close(fd_);
}

std::unique_ptr<elf_file> elf_file::open(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return open_descriptor(fd);
}

std::unique_ptr<elf_file> elf_file::open_descriptor(int fd) {
    std::unique_ptr<elf_file> file(new elf_file());
    file->fd_ = fd;
    if (!libelf_ready()) return nullptr;
    file->elf_ = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    if (file->elf_ == nullptr) return nullptr;
    std::size_t size = 0;
    file->image_ = reinterpret_cast<const std::uint8_t*>(elf_rawfile(file->elf_, &size));
    file->image_size_ = size;
    return adopt(std::move(file));
}

std::unique_ptr<elf_file> elf_file::copy_of(const void* image, std::size_t size) {
    if (!libelf_ready()) return nullptr;
    std::unique_ptr<elf_file> file(new elf_file());
    const auto* bytes = static_cast<const std::uint8_t*>(image);
    file->copy_.assign(bytes, bytes + size);
    file->elf_ = elf_memory(reinterpret_cast<char*>(file->copy_.data()), size);
    if (file->elf_ == nullptr) return nullptr;
    file->image_ = file->copy_.data();
    file->image_size_ = size;
    return adopt(std::move(file));
}

std::unique_ptr<elf_file> elf_file::adopt(std::unique_ptr<elf_file> file) {
    Elf* elf = file->elf_;
    if (elf_kind(elf) != ELF_K_ELF) return nullptr;
    const char* ident = elf_getident(elf, nullptr);
    if (ident == nullptr || static_cast<unsigned char>(ident[EI_CLASS]) != own_class ||
        !own_byte_order(static_cast<unsigned char>(ident[EI_DATA])))
        return nullptr;

    std::size_t names_index = 0;
    if (elf_getshdrstrndx(elf, &names_index) != 0) return nullptr;
    std::size_t count = 0;
    if (elf_getshdrnum(elf, &count) != 0) return nullptr;
    file->sections_.resize(count);
    for (std::size_t i = 1; i < count; ++i) {
        Elf_Scn* scn = elf_getscn(elf, i);
        GElf_Shdr header;
        if (scn == nullptr || gelf_getshdr(scn, &header) == nullptr) continue;
        elf_section& section = file->sections_[i];
        const char* name = elf_strptr(elf, names_index, header.sh_name);
        section.name = name != nullptr ? name : "";
        section.type = header.sh_type;
        section.flags = header.sh_flags;
        section.link = header.sh_link;
        if (header.sh_type != SHT_NOBITS) {
            Elf_Data* data = elf_rawdata(scn, nullptr);
            if (data != nullptr && data->d_buf != nullptr) {
                section.data = static_cast<const std::uint8_t*>(data->d_buf);
                section.size = data->d_size;
            }
        }
        if (section.type == SHT_NOTE && file->id_.empty() && section.data != nullptr)
            file->id_ = build_id_in_notes(section.data, section.size);
    }

    std::size_t segments = 0;
    if (elf_getphdrnum(elf, &segments) == 0) {
        for (std::size_t i = 0; i < segments; ++i) {
            GElf_Phdr phdr;
            if (gelf_getphdr(elf, static_cast<int>(i), &phdr) == nullptr || phdr.p_type != PT_LOAD) continue;
            file->has_load_ = true;
            file->first_load_ = phdr.p_vaddr;
            break;
        }
    }
    return file;
}

const elf_section* elf_file::find(const char* name) const noexcept {
    for (const elf_section& section : sections_)
        if (std::strcmp(section.name, name) == 0) return &section;
    return nullptr;
}

bool elf_file::first_load_address(std::uint64_t& address) const noexcept {
    if (!has_load_) return false;
    address = first_load_;
    return true;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
