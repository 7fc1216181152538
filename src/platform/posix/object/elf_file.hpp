#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_ELF_FILE_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_ELF_FILE_HPP

// An ELF object read for its sections: the loaded objects themselves, their
// separate debug files and the vDSO.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct Elf;

namespace korvo {
namespace calltrail {
namespace posix_engine {

using build_id = std::vector<std::uint8_t>;

// One section's header and raw bytes (compressed ones as stored).
struct elf_section {
    const char* name = "";
    std::uint32_t type = 0;
    std::uint64_t flags = 0;
    std::uint32_t link = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// A read-only ELF object of this process's class and byte order, mapped from
// a file or copied from memory. Section bytes stay valid for its lifetime.
class elf_file {
public:
    ~elf_file();
    elf_file(const elf_file&) = delete;
    elf_file& operator=(const elf_file&) = delete;

    static std::unique_ptr<elf_file> open(const char* path);
    static std::unique_ptr<elf_file> open_descriptor(int fd);
    static std::unique_ptr<elf_file> copy_of(const void* image, std::size_t size);

    const std::vector<elf_section>& sections() const noexcept { return sections_; }
    const elf_section* find(const char* name) const noexcept;
    const elf_section* at(std::size_t index) const noexcept {
        return index < sections_.size() ? &sections_[index] : nullptr;
    }

    const build_id& id() const noexcept { return id_; }
    // Link-time address of the first loadable segment: the difference between
    // an object's and its debug file's tells how far their addresses are apart.
    bool first_load_address(std::uint64_t& address) const noexcept;
    bool has_section_named(const char* name) const noexcept { return find(name) != nullptr; }

    // The whole file, for checksums.
    const std::uint8_t* image() const noexcept { return image_; }
    std::size_t image_size() const noexcept { return image_size_; }

private:
    elf_file() = default;
    static std::unique_ptr<elf_file> adopt(std::unique_ptr<elf_file> file);

    int fd_ = -1;
    Elf* elf_ = nullptr;
    std::vector<std::uint8_t> copy_;
    const std::uint8_t* image_ = nullptr;
    std::size_t image_size_ = 0;
    std::vector<elf_section> sections_;
    build_id id_;
    bool has_load_ = false;
    std::uint64_t first_load_ = 0;
};

// The GNU build-id note among the notes in [notes, notes + size).
build_id build_id_in_notes(const std::uint8_t* notes, std::size_t size);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
