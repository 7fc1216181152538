#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_DEBUG_FILE_SEARCH_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_DEBUG_FILE_SEARCH_HPP

// Where an object's separate debug file is, found only in local places
// unless a program adds others.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/object/elf_file.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// The system's debug directory.
extern const char* const system_debug_root;

// The variable that names more debug directories, laid out as the system's,
// separated by colons and searched before it.
extern const char* const debug_path_variable;

// Where separate debug files are looked for.
struct debug_places {
    // Debug directories, in order.
    std::vector<std::string> roots;
    // Asked last, by build-id alone: places a program adds that the library
    // never looks in (a debuginfod cache or server). May be empty.
    std::function<std::unique_ptr<elf_file>(const build_id&)> by_build_id;
};

// The directories of debug_path_variable (read with secure_getenv, so that a
// privileged program ignores it), then the system's.
std::vector<std::string> debug_roots_from_environment();

// The separate debug file of an object, looked for by build-id under each
// debug directory and by the object's debug link beside it, in its .debug
// directory and under each debug directory; then where `by_build_id` says.
// The library itself reads only local places: never the network.
std::unique_ptr<elf_file> find_debug_file(const elf_file& object, const std::string& object_path, const build_id& id,
                                          const debug_places& places);
std::unique_ptr<elf_file> find_debug_file(const elf_file& object, const std::string& object_path, const build_id& id);

// The path of a build-id's debug file under a debug root.
std::string build_id_path(const char* root, const build_id& id);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
