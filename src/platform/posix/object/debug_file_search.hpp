#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_DEBUG_FILE_SEARCH_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_DEBUG_FILE_SEARCH_HPP

// Where an object's separate debug file is, found only in local places.

#include <memory>
#include <string>

#include "platform/posix/object/elf_file.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// The system's debug directory.
extern const char* const system_debug_root;

// The separate debug file of an object, looked for by build-id under the
// debug directory and by the object's debug link beside it, in its .debug
// directory and under the debug directory. Only these local places are read:
// no network, and nothing the environment names.
std::unique_ptr<elf_file> find_debug_file(const elf_file& object, const std::string& object_path, const build_id& id,
                                          const char* debug_root = system_debug_root);

// The path of a build-id's debug file under a debug root.
std::string build_id_path(const char* root, const build_id& id);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
