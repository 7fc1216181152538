#include "platform/posix/object/mini_debuginfo.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/posix/object/decompression.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {
// Far above what the symbol table of the largest library needs, and a bound
// on what a hostile section can make us hold, with the plausible expansion
// of its stream.
constexpr std::size_t largest_image = std::size_t{128} << 20;
constexpr std::size_t largest_stream = std::size_t{32} << 20;
} // namespace

std::unique_ptr<elf_file> open_mini_debuginfo(const elf_file& object) {
    const elf_section* section = object.find(".gnu_debugdata");
    if (section == nullptr || section->size == 0 || section->size > largest_stream) return nullptr;
    const std::unique_ptr<section_data> stream = object.contents(*section);
    if (stream == nullptr || !stream->ensure(0, stream->size())) return nullptr;
    std::vector<std::uint8_t> image;
    const std::size_t limit = std::min(largest_image, plausible_inflated_size(stream->size(), false));
    if (!decode_xz(stream->bytes(), stream->size(), limit, image)) return nullptr;
    // The image lives in memory: no file is behind it.
    return elf_file::adopt(std::move(image));
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
