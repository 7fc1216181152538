#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_DEMANGLE_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_DEMANGLE_HPP

// C++ symbol names as a reader writes them.

#include <cstddef>
#include <string>

namespace korvo {
namespace calltrail {
namespace posix_engine {

// The demangled form of a C++ symbol name, or false when it is not one.
// Throws std::bad_alloc when the demangler runs out of memory.
bool demangle(const char* name, std::size_t length, std::string& out);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
