#include "platform/posix/debug_engine/split_dwarf_files.hpp"

#include <vector>

#include "platform/posix/object/debug_section.hpp"
#include "platform/posix/support/paths.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

std::string joined(const std::string& directory, const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

} // namespace

// Opened as a regular file only, without blocking: a FIFO or device where a
// file is expected is refused unread. Throws when descriptors run out.
std::unique_ptr<split_dwarf_files::opened> split_dwarf_files::open_file(const std::string& path) {
    auto found = std::make_unique<opened>();
    found->object = elf_file::open(path.c_str());
    if (found->object == nullptr) return nullptr;
    dwarf_sections& s = found->file.sections;
    s.info = open_debug_section(*found->object, "info.dwo");
    s.abbrev = open_debug_section(*found->object, "abbrev.dwo");
    if (s.info == nullptr || s.abbrev == nullptr) return nullptr;
    s.str = open_debug_section(*found->object, "str.dwo");
    s.str_offsets = open_debug_section(*found->object, "str_offsets.dwo");
    s.rnglists = open_debug_section(*found->object, "rnglists.dwo");
    s.bound_range_entries();
    found->file.cu_index = open_debug_section(*found->object, "cu_index");
    return found;
}

split_file* split_dwarf_files::package() {
    opened* found = package_.get_locked([this] { return open_file(object_path_ + ".dwp"); });
    return found != nullptr ? &found->file : nullptr;
}

void split_dwarf_files::let_go() const noexcept {
    if (const opened* found = package_.peek()) found->object->let_go();
}

bool split_dwarf_files::offer_split_files(const char* dwo_name, const char* comp_dir, const visitor& accept) {
    if (dwo_name == nullptr || dwo_name[0] == '\0') return false;
    const std::string name = dwo_name;
    const std::string beside = directory_of(object_path_);
    std::vector<std::string> candidates;
    if (comp_dir != nullptr && comp_dir[0] != '\0') candidates.push_back(joined(comp_dir, name));
    candidates.push_back(joined(beside, name));
    // The build tree may be gone while the .dwo files were installed.
    candidates.push_back(joined(beside, name.substr(name.rfind('/') + 1)));
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        bool seen = false;
        for (std::size_t j = 0; j < i; ++j) seen |= candidates[j] == candidates[i];
        if (seen) continue;
        std::unique_ptr<opened> file = open_file(candidates[i]);
        if (file != nullptr && accept(file->file)) return true;
    }
    return false;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
