#include "platform/posix/object/mini_debuginfo.hpp"

#include <cstdint>
#include <vector>

#include "platform/posix/object/decompression.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {
// Far above what the symbol table of the largest library needs, and a bound
// on what a hostile section can make us hold.
constexpr std::size_t largest_image = std::size_t{128} << 20;
} // namespace

std::unique_ptr<elf_file> open_mini_debuginfo(const elf_file& object) {
    const elf_section* section = object.find(".gnu_debugdata");
    if (section == nullptr || section->data == nullptr) return nullptr;
    std::vector<std::uint8_t> image;
    if (!decode_xz(section->data, section->size, largest_image, image)) return nullptr;
    return elf_file::copy_of(image.data(), image.size());
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
