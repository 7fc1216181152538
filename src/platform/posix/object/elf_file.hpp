#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_ELF_FILE_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_ELF_FILE_HPP

// An ELF object read for its sections: the loaded objects themselves, their
// separate debug files and the vDSO.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/object/file_source.hpp"
#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

using build_id = std::vector<std::uint8_t>;

// One section's header. Its bytes are read through elf_file::contents().
struct elf_section {
    const char* name = "";
    std::uint32_t type = 0;
    std::uint64_t flags = 0;
    std::uint32_t link = 0;
    std::uint64_t offset = 0;
    // Bytes the file holds for it (compressed ones as stored): 0 for
    // SHT_NOBITS, and for a section that would reach past the file's end.
    std::size_t size = 0;
};

// A loadable segment: where the file's bytes go in memory.
struct load_segment {
    std::uint64_t address = 0;
    std::uint64_t memory_size = 0;
    std::uint64_t offset = 0;
    std::uint64_t file_size = 0;
    std::uint32_t flags = 0;
};

// A read-only ELF object of this process's class and byte order, read from
// a file with pread into memory the reader owns (never mapped: a file that
// shrinks later cannot fault), or copied from memory. The header, section
// headers and section names are read when it opens, section bytes when
// asked for.
class elf_file {
public:
    elf_file(const elf_file&) = delete;
    elf_file& operator=(const elf_file&) = delete;

    // Null for anything but a regular file holding such an object. Throws
    // as open_regular_file() does.
    static std::unique_ptr<elf_file> open(const char* path);
    static std::unique_ptr<elf_file> open_file(std::shared_ptr<file_source> file);
    static std::unique_ptr<elf_file> copy_of(const void* image, std::size_t size);
    // An image made in memory, with no file behind it.
    static std::unique_ptr<elf_file> adopt(std::vector<std::uint8_t> image);

    const std::vector<elf_section>& sections() const noexcept { return sections_; }
    const elf_section* find(const char* name) const noexcept;
    const elf_section* at(std::size_t index) const noexcept {
        return index < sections_.size() ? &sections_[index] : nullptr;
    }
    bool has_section_named(const char* name) const noexcept { return find(name) != nullptr; }

    // A section's stored bytes, read as they are asked for; null when it
    // has none. They stay valid as long as the elf_file does.
    std::unique_ptr<section_data> contents(const elf_section& section) const;

    const build_id& id() const noexcept { return id_; }
    // Link-time address of the first loadable segment: the difference between
    // an object's and its debug file's tells how far their addresses are apart.
    bool first_load_address(std::uint64_t& address) const noexcept;
    const std::vector<load_segment>& load_segments() const noexcept { return loads_; }

    std::uint64_t file_size() const noexcept { return size_; }
    // Where the last of its headers or section bytes ends.
    std::uint64_t extent() const noexcept { return extent_; }
    // Bytes of the file; false where it has none or has changed.
    bool read(std::uint64_t offset, std::size_t size, void* out) const;
    // The bytes that a loadable segment maps at a link-time address.
    bool read_loaded(std::uint64_t address, std::size_t size, void* out) const;
    // The file read from; null for a copy.
    const file_source* source() const noexcept { return file_.get(); }
    // Closes the descriptor until the next read needs it.
    void let_go() const noexcept;

private:
    elf_file() = default;
    bool parse();
    bool read_section_headers(std::uint64_t offset, std::size_t count, std::size_t names_index);
    bool read_program_headers(std::uint64_t offset, std::size_t count);
    void find_build_id();

    std::shared_ptr<file_source> file_;
    std::vector<std::uint8_t> copy_;
    std::uint64_t size_ = 0;
    std::uint64_t extent_ = 0;
    std::vector<char> names_;
    std::vector<elf_section> sections_;
    std::vector<load_segment> loads_;
    build_id id_;
};

// The GNU build-id note among the notes in [notes, notes + size).
build_id build_id_in_notes(const std::uint8_t* notes, std::size_t size);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
