#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_SPLIT_DWARF_FILES_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_SPLIT_DWARF_FILES_HPP

// Where one loaded object's split DWARF is: NAME.dwp beside the object, and
// each .dwo where its skeleton names it, under the compilation directory or
// beside the object. Only local regular files are opened, never blocking. A
// split file is no loaded object: it is taken for the unit whose id it holds.
// A .dwo is closed once offered; the package is kept, but its descriptor is
// let go at the end of every lookup, as the object's are.

#include <memory>
#include <string>

#include "platform/posix/dwarf/split_units.hpp"
#include "platform/posix/object/elf_file.hpp"
#include "platform/posix/support/built_once.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

class split_dwarf_files final : public split_file_source {
public:
    explicit split_dwarf_files(std::string object_path) : object_path_(std::move(object_path)) {}

    // Under the lock that serialises the object's DWARF reading.
    split_file* package() override;
    bool offer_split_files(const char* dwo_name, const char* comp_dir, const visitor& accept) override;

    // Closes the package's descriptor until its next read; from any thread.
    void let_go() const noexcept;

private:
    // A split file with the object that its sections' bytes belong to.
    struct opened {
        std::unique_ptr<elf_file> object;
        split_file file;
    };
    static std::unique_ptr<opened> open_file(const std::string& path);

    std::string object_path_;
    built_once<opened> package_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
