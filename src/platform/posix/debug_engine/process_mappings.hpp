#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_PROCESS_MAPPINGS_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_PROCESS_MAPPINGS_HPP

// The kernel's list of this process's mappings: which file is mapped where.
// The loaded image is the truth about an object; its file's path may lead
// elsewhere by now.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/object/file_source.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct mapping {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    file_identity file;
    // As the kernel shows it; empty for memory that no file backs.
    std::string path;
};

// Sorted by address; empty when /proc/self/maps cannot be read.
std::vector<mapping> read_mappings();

// The mapping that holds an address, or null.
const mapping* mapping_at(const std::vector<mapping>& mappings, std::uint64_t address) noexcept;

// The entry of /proc/self/map_files that opens a mapping's very file, even
// when it has been replaced or deleted since, where the system lets a
// process open it.
std::string map_files_path(const mapping& m);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
