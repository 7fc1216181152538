#include "object_search.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <utility>

#include "platform/posix/object/file_source.hpp"

namespace korvo {
namespace calltrail {
namespace offline {

using posix_engine::build_id;
using posix_engine::elf_file;

namespace {

// Where libdebuginfod keeps what it fetched, in the order it chooses them.
std::vector<std::string> debuginfod_caches() {
    const char* set = std::getenv("DEBUGINFOD_CACHE_PATH");
    if (set != nullptr && set[0] != '\0') return {set};
    std::vector<std::string> caches;
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] != '\0') caches.push_back(std::string(xdg) + "/debuginfod_client");
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        caches.push_back(std::string(home) + "/.cache/debuginfod_client");
        caches.push_back(std::string(home) + "/.debuginfod_client_cache");
    }
    return caches;
}

std::unique_ptr<elf_file> open_with_id(const std::string& path, const build_id& id) {
    std::unique_ptr<elf_file> file = elf_file::open(path.c_str());
    return file != nullptr && file->id() == id ? std::move(file) : nullptr;
}

std::string why_unreadable(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return "no such file";
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    return "not an ELF object of this machine that can be read";
}

} // namespace

std::string hex_id(const build_id& id) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : id) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

object_search::object_search(search_settings settings) : settings_(std::move(settings)) {
    roots_ = settings_.debug_dirs;
    for (std::string& root : posix_engine::debug_roots_from_environment()) roots_.push_back(std::move(root));
    caches_ = debuginfod_caches();
    places_ = std::make_shared<posix_engine::debug_places>();
    places_->roots = roots_;
    // Asked only once the debug directories had no debug file.
    places_->by_build_id = [this](const build_id& id) {
        std::string problem;
        std::unique_ptr<elf_file> found = by_build_id(id, true, settings_.debuginfod, problem);
        if (found == nullptr && !problem.empty()) debug_problem_ = "its debug file: " + problem;
        return found;
    };
}

debuginfod_fetch* object_search::server(std::string& problem) {
    if (!server_tried_) {
        server_tried_ = true;
        server_ = debuginfod_fetch::open(settings_.debuginfod_seconds, server_problem_);
    }
    if (server_ == nullptr) problem = server_problem_;
    return server_.get();
}

std::unique_ptr<elf_file> object_search::by_build_id(const build_id& id, bool debug, bool fetch, std::string& problem) {
    if (id.size() < 2) return nullptr;
    const std::string hex = hex_id(id);
    std::vector<std::string> candidates;
    if (!debug) {
        for (const std::string& root : roots_) {
            std::string debug_path = posix_engine::build_id_path(root.c_str(), id);
            // Some distributions link the object itself beside its debug file.
            candidates.push_back(debug_path.substr(0, debug_path.size() - 6));
            candidates.push_back(std::move(debug_path));
        }
    }
    for (const std::string& cache : caches_) {
        candidates.push_back(cache + "/" + hex + "/debuginfo");
        if (!debug) candidates.push_back(cache + "/" + hex + "/executable");
    }
    for (const std::string& path : candidates)
        if (std::unique_ptr<elf_file> file = open_with_id(path, id)) return file;
    if (!fetch) return nullptr;
    debuginfod_fetch* from = server(problem);
    if (from == nullptr) return nullptr;
    std::string path = from->debug_file(id, problem);
    if (path.empty() && !debug) path = from->executable(id, problem);
    return path.empty() ? nullptr : open_with_id(path, id);
}

std::unique_ptr<elf_file> object_search::object(const std::string& path, const reported_id& id, std::string& problem) {
    problem.clear();
    std::unique_ptr<elf_file> named = elf_file::open(path.c_str());
    if (named != nullptr && (!id.given || named->id() == id.bytes)) return named;
    if (named != nullptr)
        problem = "its build-id is " + (named->id().empty() ? std::string("none") : hex_id(named->id())) +
                  ", the report's " + (id.bytes.empty() ? std::string("none") : hex_id(id.bytes));
    else
        problem = why_unreadable(path);
    if (!id.given || id.bytes.size() < 2) return nullptr;
    std::string fetch_problem;
    std::unique_ptr<elf_file> found = by_build_id(id.bytes, false, settings_.debuginfod, fetch_problem);
    if (found != nullptr) {
        problem.clear();
        return found;
    }
    problem += "; no file with build-id " + hex_id(id.bytes) + " was found";
    if (!fetch_problem.empty()) problem += " (" + fetch_problem + ")";
    return nullptr;
}

} // namespace offline
} // namespace calltrail
} // namespace korvo
