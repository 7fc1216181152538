#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_FILE_SOURCE_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_FILE_SOURCE_HPP

// Files that objects are read from, through pread into memory the reader
// owns: a file that changes, shrinks or vanishes afterwards makes reads fail
// instead of faulting in a mapping, and a descriptor is held only while reads
// need it.

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix/support/annotated_mutex.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Which file a path led to: its device and inode.
struct file_identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    bool known() const noexcept { return device != 0 || inode != 0; }
    bool operator==(const file_identity& other) const noexcept {
        return device == other.device && inode == other.inode;
    }
    bool operator!=(const file_identity& other) const noexcept { return !(*this == other); }
};

file_identity identity_of(const struct stat& status) noexcept;

// Thrown when the process has no descriptor or memory to spare for a file: a
// later lookup may, so such a failure must not be remembered as "no file".
// The Debug Engine's operations catch whatever their work throws; this never
// leaves them, and needs no more than its type.
struct out_of_resources {};

class unique_fd {
public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    ~unique_fd();
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept;
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// A regular file opened for reading, with its status; empty for anything
// else (a FIFO or device is refused without being waited on). Throws
// out_of_resources.
unique_fd open_regular_file(const char* path, struct stat& status);

// One file, reopened by its path whenever a read needs it and checked to be
// the same unchanged file each time. Safe from many threads.
class file_source {
public:
    // Takes an open descriptor of the file and the status it had.
    file_source(std::string path, unique_fd fd, const struct stat& status) noexcept;
    file_source(const file_source&) = delete;
    file_source& operator=(const file_source&) = delete;

    const std::string& path() const noexcept { return path_; }
    file_identity identity() const noexcept { return identity_; }
    std::uint64_t size() const noexcept { return size_; }

    // Reads exactly `count` bytes at `offset`; false when the file has
    // changed or is shorter. Throws as open_regular_file does.
    bool read(std::uint64_t offset, std::size_t count, void* out);

    // Closes the descriptor unless a read is using it: nothing is held
    // between lookups.
    void let_go() noexcept;

private:
    bool unchanged(const struct stat& status) const noexcept;
    int acquire();

    const std::string path_;
    const file_identity identity_;
    const std::uint64_t size_;
    const std::int64_t modified_seconds_;
    const long modified_nanoseconds_;
    annotated_mutex mutex_;
    unique_fd fd_ CALLTRAIL_GUARDED_BY(mutex_);
    // Whether fd_ is open, for let_go() to see without the lock: most
    // lookups read nothing.
    std::atomic<bool> holding_{true};
    int readers_ CALLTRAIL_GUARDED_BY(mutex_) = 0;
    bool changed_ CALLTRAIL_GUARDED_BY(mutex_) = false;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
