#ifndef KORVO_CALLTRAIL_TESTS_POSIX_ENGINE_TEST_FILES_HPP
#define KORVO_CALLTRAIL_TESTS_POSIX_ENGINE_TEST_FILES_HPP

#include <cstdint>
#include <string>
#include <vector>

namespace posix_engine_test {

// A directory of its own under /tmp, removed with all it holds.
class temporary_directory {
public:
    temporary_directory();
    ~temporary_directory();
    temporary_directory(const temporary_directory&) = delete;
    temporary_directory& operator=(const temporary_directory&) = delete;

    const std::string& path() const { return path_; }
    // A copy of a file under a name of the directory; its full path.
    std::string copy(const char* from, const std::string& name) const;
    // A FIFO under a name of the directory; its full path.
    std::string fifo(const std::string& name) const;

private:
    std::string path_;
};

void write_file(const std::string& path, const std::vector<std::uint8_t>& contents);

// A memory file holding a copy of a file; its descriptor.
int memory_file_of(const char* path);

// How many descriptors the process has open.
int open_descriptors();

} // namespace posix_engine_test

#endif
