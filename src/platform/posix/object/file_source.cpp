#include "platform/posix/object/file_source.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/support/work_counts.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

bool exhausted(int error) noexcept { return error == EMFILE || error == ENFILE || error == ENOMEM; }

} // namespace

file_identity identity_of(const struct stat& status) noexcept {
    return file_identity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

unique_fd::~unique_fd() {
    if (fd_ >= 0) close(fd_);
}

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = other.release();
    }
    return *this;
}

unique_fd open_regular_file(const char* path, struct stat& status) {
    // Devices are not even opened; what is opened is checked again, since
    // the path may have changed in between.
    if (stat(path, &status) != 0) {
        if (exhausted(errno)) throw out_of_resources();
        return unique_fd();
    }
    if (!S_ISREG(status.st_mode)) return unique_fd();
    int fd = -1;
    do {
        // Non-blocking: a FIFO put there since would otherwise wait for a
        // writer for ever.
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (exhausted(errno)) throw out_of_resources();
        return unique_fd();
    }
    unique_fd owned(fd);
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return unique_fd();
    return owned;
}

file_source::file_source(std::string path, unique_fd fd, const struct stat& status) noexcept
    : path_(std::move(path)), identity_(identity_of(status)), size_(static_cast<std::uint64_t>(status.st_size)),
      modified_seconds_(status.st_mtim.tv_sec), modified_nanoseconds_(status.st_mtim.tv_nsec), fd_(std::move(fd)) {}

bool file_source::unchanged(const struct stat& status) const noexcept {
    return identity_of(status) == identity_ && static_cast<std::uint64_t>(status.st_size) == size_ &&
           status.st_mtim.tv_sec == modified_seconds_ && status.st_mtim.tv_nsec == modified_nanoseconds_;
}

int file_source::acquire() {
    scoped_lock lock(mutex_);
    if (changed_) return -1;
    if (!fd_) {
        struct stat status {};
        unique_fd fd = open_regular_file(path_.c_str(), status);
        if (!fd || !unchanged(status)) {
            changed_ = true;
            return -1;
        }
        fd_ = std::move(fd);
        holding_.store(true, std::memory_order_relaxed);
    }
    ++readers_;
    return fd_.get();
}

bool file_source::read(std::uint64_t offset, std::size_t count, void* out) {
    if (offset > size_ || count > size_ - offset) return false;
    if (count == 0) return true;
    const int fd = acquire();
    if (fd < 0) return false;
    auto* bytes = static_cast<char*>(out);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    // Written in place while read, the bytes may be of two versions.
    struct stat status {};
    const bool ok = done == count && fstat(fd, &status) == 0 && unchanged(status);
    {
        scoped_lock lock(mutex_);
        --readers_;
        if (!ok) changed_ = true;
    }
    if (ok) count_work(counted_work.bytes_read, count);
    return ok;
}

void file_source::let_go() noexcept {
    if (!holding_.load(std::memory_order_relaxed)) return;
    scoped_lock lock(mutex_);
    if (readers_ != 0) return;
    fd_ = unique_fd();
    holding_.store(false, std::memory_order_relaxed);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
