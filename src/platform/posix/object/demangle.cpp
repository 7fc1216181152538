#include "platform/posix/object/demangle.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <new>

namespace korvo {
namespace calltrail {
namespace posix_engine {

bool demangle(const char* name, std::size_t length, std::string& out) {
    if (length < 2 || name[0] != '_' || name[1] != 'Z') return false;
    // The demangler wants a terminated string; names cut at a version mark
    // are not terminated where they end.
    const std::string mangled(name, length);
    int status = 0;
    // Freed also when the copy below runs out of memory.
    const std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status),
                                                      &std::free);
    // -1: the demangler's malloc failed, which a later lookup may not.
    if (status == -1) throw std::bad_alloc();
    if (text == nullptr || status != 0) return false;
    out.assign(text.get());
    return true;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
