#ifndef KORVO_CALLTRAIL_POSIX_SUPPORT_ELF_NOTES_HPP
#define KORVO_CALLTRAIL_POSIX_SUPPORT_ELF_NOTES_HPP

// The GNU build-id among the notes of a segment or section, for the object
// reader and the signal-safe unwinder alike: reads only inside the bytes it
// is given, allocates nothing, calls nothing but memcpy and memcmp.

#include <elf.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct build_id_note {
    const std::uint8_t* header = nullptr;
    const std::uint8_t* id = nullptr;
    std::size_t size = 0;
};

// The first build-id note with a non-empty id in [notes, notes + size).
inline bool find_build_id_note(const std::uint8_t* notes, std::size_t size, build_id_note& found) noexcept {
    // The note header is the same three words in both ELF classes.
    constexpr std::size_t header_size = sizeof(Elf64_Nhdr);
    std::size_t at = 0;
    while (size - at >= header_size) {
        Elf64_Nhdr header;
        std::memcpy(&header, notes + at, header_size);
        const std::size_t name_room = (std::size_t{header.n_namesz} + 3) & ~std::size_t{3};
        const std::size_t id_room = (std::size_t{header.n_descsz} + 3) & ~std::size_t{3};
        const std::size_t left = size - at - header_size;
        if (name_room > left || id_room > left - name_room) return false;
        const std::uint8_t* name = notes + at + header_size;
        if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0 &&
            header.n_descsz > 0) {
            found.header = notes + at;
            found.id = name + name_room;
            found.size = header.n_descsz;
            return true;
        }
        at += header_size + name_room + id_room;
    }
    return false;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
