#include "debuginfod_fetch.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

namespace korvo {
namespace calltrail {
namespace offline {

namespace {

// libdebuginfod's interface, as its header declares it.
struct client;
using begin_function = client* (*)();
using end_function = void (*)(client*);
using find_function = int (*)(client*, const unsigned char*, int, char**);
using progress_function = int (*)(client*, long, long);
using set_progress_function = void (*)(client*, progress_function);

// The program asks one server at a time, so one deadline serves.
std::chrono::steady_clock::time_point deadline;

int past_deadline(client*, long, long) { return std::chrono::steady_clock::now() >= deadline ? 1 : 0; }

} // namespace

// Never closed: libcurl under it keeps global state that only the end of the
// process lets go of; unloaded, that state would be lost memory.
struct debuginfod_fetch::library {
    void* handle = nullptr;
    begin_function begin = nullptr;
    end_function end = nullptr;
    find_function find_debuginfo = nullptr;
    find_function find_executable = nullptr;
    set_progress_function set_progress = nullptr;
};

std::unique_ptr<debuginfod_fetch> debuginfod_fetch::open(unsigned seconds, std::string& problem) {
    const char* urls = std::getenv("DEBUGINFOD_URLS");
    if (urls == nullptr || urls[0] == '\0') {
        problem = "DEBUGINFOD_URLS names no server";
        return nullptr;
    }
    auto lib = std::make_unique<library>();
    lib->handle = dlopen("libdebuginfod.so.1", RTLD_NOW | RTLD_LOCAL);
    if (lib->handle == nullptr) {
        problem = "libdebuginfod cannot be loaded (Debian package libdebuginfod1)";
        return nullptr;
    }
    lib->begin = reinterpret_cast<begin_function>(dlsym(lib->handle, "debuginfod_begin"));
    lib->end = reinterpret_cast<end_function>(dlsym(lib->handle, "debuginfod_end"));
    lib->find_debuginfo = reinterpret_cast<find_function>(dlsym(lib->handle, "debuginfod_find_debuginfo"));
    lib->find_executable = reinterpret_cast<find_function>(dlsym(lib->handle, "debuginfod_find_executable"));
    lib->set_progress = reinterpret_cast<set_progress_function>(dlsym(lib->handle, "debuginfod_set_progressfn"));
    if (lib->begin == nullptr || lib->end == nullptr || lib->find_debuginfo == nullptr ||
        lib->find_executable == nullptr || lib->set_progress == nullptr) {
        problem = "libdebuginfod lacks the functions it needs";
        return nullptr;
    }
    // The library's own limit on a connection and on a stalled transfer; a
    // smaller one the user set stands.
    const char* set = std::getenv("DEBUGINFOD_TIMEOUT");
    if (set == nullptr || std::strtoul(set, nullptr, 10) == 0 || std::strtoul(set, nullptr, 10) > seconds)
        setenv("DEBUGINFOD_TIMEOUT", std::to_string(seconds).c_str(), 1);
    std::unique_ptr<debuginfod_fetch> fetch(new debuginfod_fetch());
    fetch->library_ = std::move(lib);
    fetch->seconds_ = seconds;
    return fetch;
}

debuginfod_fetch::~debuginfod_fetch() = default;

std::string debuginfod_fetch::debug_file(const std::vector<std::uint8_t>& id, std::string& problem) {
    return fetch(true, id, problem);
}

std::string debuginfod_fetch::executable(const std::vector<std::uint8_t>& id, std::string& problem) {
    return fetch(false, id, problem);
}

std::string debuginfod_fetch::fetch(bool debug, const std::vector<std::uint8_t>& id, std::string& problem) {
    client* c = library_->begin();
    if (c == nullptr) {
        problem = "libdebuginfod could not start a client";
        return std::string();
    }
    // Whatever the servers do, the whole fetch ends by then.
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_);
    library_->set_progress(c, &past_deadline);
    char* path = nullptr;
    const find_function find = debug ? library_->find_debuginfo : library_->find_executable;
    const int fd = find(c, id.data(), static_cast<int>(id.size()), &path);
    const bool late = std::chrono::steady_clock::now() >= deadline;
    library_->end(c);
    std::string found;
    if (fd >= 0) {
        close(fd);
        if (path != nullptr) found = path;
    } else if (late) {
        problem = "no debuginfod server answered within " + std::to_string(seconds_) + " s";
    } else {
        problem = std::string("debuginfod: ") + std::strerror(-fd);
    }
    std::free(path);
    return found;
}

} // namespace offline
} // namespace calltrail
} // namespace korvo
