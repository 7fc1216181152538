#include "test_files.hpp"

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace posix_engine_test {

namespace {

std::vector<std::uint8_t> contents_of(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

temporary_directory::temporary_directory() {
    char name[] = "/tmp/calltrail_test_XXXXXX";
    if (mkdtemp(name) != nullptr) path_ = name;
}

temporary_directory::~temporary_directory() {
    if (path_.empty()) return;
    nftw(
        path_.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string temporary_directory::copy(const char* from, const std::string& name) const {
    const std::string to = path_ + "/" + name;
    write_file(to, contents_of(from));
    return to;
}

std::string temporary_directory::fifo(const std::string& name) const {
    const std::string at = path_ + "/" + name;
    mkfifo(at.c_str(), 0644);
    return at;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& contents) {
    // Written in place, as a program overwriting a file does.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (fd < 0) return;
    if (write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) {}
    close(fd);
}

int memory_file_of(const char* path) {
    const std::vector<std::uint8_t> contents = contents_of(path);
    const int fd = memfd_create("library", 0);
    if (fd >= 0 && write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) {}
    return fd;
}

int open_descriptors() {
    // Counted without opening one: there may be none left.
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd)
        if (fcntl(fd, F_GETFD) >= 0) ++count;
    return count;
}

} // namespace posix_engine_test
