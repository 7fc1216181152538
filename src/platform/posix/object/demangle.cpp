#include "platform/posix/object/demangle.hpp"

#include <cxxabi.h>

#include <cstdlib>

namespace korvo {
namespace calltrail {
namespace posix_engine {

bool demangle(const char* name, std::size_t length, std::string& out) {
    if (length < 2 || name[0] != '_' || name[1] != 'Z') return false;
    // The demangler wants a terminated string; names cut at a version mark
    // are not terminated where they end.
    const std::string mangled(name, length);
    int status = 0;
    char* text = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    if (text == nullptr) return false;
    const bool ok = status == 0;
    if (ok) out.assign(text);
    std::free(text);
    return ok;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
