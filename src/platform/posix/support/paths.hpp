#ifndef KORVO_CALLTRAIL_POSIX_SUPPORT_PATHS_HPP
#define KORVO_CALLTRAIL_POSIX_SUPPORT_PATHS_HPP

#include <string>

namespace korvo {
namespace calltrail {
namespace posix_engine {

// The directory of a path: "/usr/lib" for "/usr/lib/libc.so.6", "/" for a
// file in the root, "." for a bare name.
inline std::string directory_of(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
