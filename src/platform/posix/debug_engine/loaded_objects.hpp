#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_LOADED_OBJECTS_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_LOADED_OBJECTS_HPP

// What the dynamic loader says is loaded now: one description per object
// with code, enough to tell it apart from any other object that is or was at
// the same place.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/object/elf_file.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Where one loaded object's bytes come from: its file, the running
// executable, or an image in memory (the vDSO).
enum class module_source { file, executable, memory };

struct module_description {
    // The name the loader knows the object by, the file to read, and the
    // file name that names it in symbol texts.
    std::string loader_name;
    std::string path;
    std::string name;
    module_source source = module_source::file;
    std::uint64_t bias = 0;
    const void* program_headers = nullptr;
    std::size_t header_count = 0;
    build_id id;
    // Executable segments, as link-time addresses of the object.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> code;
    std::uint64_t first_load = 0;
    // Where an image in memory is and how long.
    const void* image = nullptr;
    std::size_t image_size = 0;
    // The file the kernel says is mapped there, and an entry of
    // /proc/self/map_files that opens that very file; and the path it shows,
    // for a name that is no path.
    file_identity file;
    std::string map_files_path;
    std::string mapped_path;

    // A file rebuilt and loaded again at the same place, without a build-id,
    // is told apart by its identity alone.
    bool same_object(const module_description& other) const noexcept {
        return bias == other.bias && program_headers == other.program_headers && header_count == other.header_count &&
               loader_name == other.loader_name && id == other.id && code == other.code && file == other.file;
    }
};

struct loaded_objects {
    std::vector<module_description> objects;
    // The loader's counts of loads and unloads when the list was taken.
    unsigned long long adds = 0;
    unsigned long long subs = 0;
};

loaded_objects list_loaded_objects();

// The loader's counts now, to tell whether a list is still current.
void loader_counters(unsigned long long& adds, unsigned long long& subs);

// Fills in the path and name of an object new to the registry. A `!` in the
// file's name would split the symbol text at the wrong place: it is
// replaced, as the Debug Engine replaces what it cannot put in a module name.
void name_object(module_description& d);

// An ELF image in memory described as a loaded object at its own link-time
// addresses: how the vDSO is read, and how tests and fuzzers give the engine
// objects of their own making.
module_description describe_image(const void* image, std::size_t size, std::string name);

// An object file described as a loaded object at its own link-time
// addresses, known by `name` in symbol texts: how a program reads the files
// that a crash report names, in another process or long after.
module_description describe_file(const elf_file& file, std::string name);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
