#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_DEBUG_SECTION_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_DEBUG_SECTION_HPP

// A debug section of an object by its short name ("info" for .debug_info),
// in whichever of the forms toolchains write it: plain, compressed (zlib or
// zstd) with the ELF compression header, or in the older GNU .zdebug form.

#include <memory>

#include "platform/posix/object/elf_file.hpp"
#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Null when the object has no such section or its form is not understood.
std::unique_ptr<section_data> open_debug_section(const elf_file& file, const char* short_name);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
