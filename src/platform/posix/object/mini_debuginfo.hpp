#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_MINI_DEBUGINFO_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_MINI_DEBUGINFO_HPP

// MiniDebugInfo: the symbol table that stripping removed, kept by some
// distributions in a stripped object's .gnu_debugdata section as an
// xz-compressed ELF image. It names the functions that the dynamic symbols
// leave out; it holds no lines.

#include <memory>

#include "platform/posix/object/elf_file.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// The image, or null when the object has none or it cannot be decoded.
std::unique_ptr<elf_file> open_mini_debuginfo(const elf_file& object);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
