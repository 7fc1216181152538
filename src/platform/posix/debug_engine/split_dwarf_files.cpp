#include "platform/posix/debug_engine/split_dwarf_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/object/debug_section.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

std::string directory_of(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string joined(const std::string& directory, const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// A FIFO or device where a file is expected must not block a lookup, nor be
// read at all.
std::unique_ptr<elf_file> open_regular(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return nullptr;
    }
    return elf_file::open_descriptor(fd);
}

} // namespace

std::unique_ptr<split_dwarf_files::opened> split_dwarf_files::open_file(const std::string& path) {
    auto found = std::make_unique<opened>();
    found->object = open_regular(path);
    if (found->object == nullptr) return nullptr;
    dwarf_sections& s = found->file.sections;
    s.info = open_debug_section(*found->object, "info.dwo");
    s.abbrev = open_debug_section(*found->object, "abbrev.dwo");
    if (s.info == nullptr || s.abbrev == nullptr) return nullptr;
    s.str = open_debug_section(*found->object, "str.dwo");
    s.str_offsets = open_debug_section(*found->object, "str_offsets.dwo");
    s.rnglists = open_debug_section(*found->object, "rnglists.dwo");
    found->file.cu_index = open_debug_section(*found->object, "cu_index");
    return found;
}

split_file* split_dwarf_files::package() {
    if (!package_opened_) {
        package_opened_ = true;
        package_ = open_file(object_path_ + ".dwp");
    }
    return package_ != nullptr ? &package_->file : nullptr;
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
