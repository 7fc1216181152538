#include "platform/posix/dwarf/line_table.hpp"

#include <cstring>

#include "platform/posix/dwarf/dwarf_cursor.hpp"
#include "platform/posix/support/work_counts.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

bool absolute(const char* path) { return path != nullptr && path[0] == '/'; }

} // namespace

std::string join_path(const char* directory, const char* name) {
    std::string path;
    const std::size_t name_length = name != nullptr ? strnlen(name, longest_path + 1) : 0;
    if (absolute(name) || directory == nullptr || directory[0] == '\0') {
        if (name_length <= longest_path) path.assign(name != nullptr ? name : "", name_length);
        return path;
    }
    const std::size_t length = strnlen(directory, longest_path + 1);
    if (length + 1 + name_length > longest_path) return path;
    path.reserve(length + 1 + name_length);
    path.assign(directory, length);
    if (path.back() != '/') path.push_back('/');
    path.append(name, name_length);
    return path;
}

const char* line_table::directory_name(std::uint64_t index) const noexcept {
    if (index == 0 && directory_zero_is_comp_dir_) return has_comp_dir_ ? comp_dir_.c_str() : nullptr;
    return index < directories_.size() ? directories_[static_cast<std::size_t>(index)] : nullptr;
}

// A relative name goes under its directory, and a relative directory under
// the compilation directory.
std::string line_table::path_text(const file_entry& file) const {
    if (file.name == nullptr) return std::string();
    std::string path = join_path(directory_name(file.directory), file.name);
    const char* base = has_comp_dir_ ? comp_dir_.c_str() : directory_name(0);
    // Directory 0 is the compilation directory itself.
    if (!path.empty() && !absolute(path.c_str()) && base != nullptr && file.directory != 0)
        path = join_path(base, path.c_str());
    count_work(counted_work.path_bytes_made, path.size());
    return path;
}

const std::string* line_table::path_of(std::uint64_t file) const {
    if (file < first_file_ || file - first_file_ >= files_.size()) return nullptr;
    const std::size_t index = static_cast<std::size_t>(file - first_file_);
    published<const std::string>& slot = paths_[index];
    const std::string* path = slot.get();
    if (path == nullptr) path = slot.offer(std::make_unique<const std::string>(path_text(files_[index])));
    return path->empty() ? nullptr : path;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
