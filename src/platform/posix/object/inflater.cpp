#include "platform/posix/object/inflater.hpp"

#include <algorithm>
#include <climits>
#include <new>

#include "platform/posix/support/work_counts.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

constexpr std::size_t input_chunk = std::size_t{16} * 1024;

// Deflate cannot expand a stream more than 1032 times. Debug sections
// compress much less: 3 to 35 times among the system's debug files, 83 for
// a small abbreviation table repeated for every unit. A size declared beyond
// what is plausible is cut there, so that a small stream can make a lookup
// neither inflate nor hold gigabytes.
constexpr std::size_t deflate_expansion = 1032;
constexpr std::size_t plausible_expansion = 32;
constexpr std::size_t always_plausible = std::size_t{16} << 20;

} // namespace

std::size_t plausible_inflated_size(std::size_t stream_size) noexcept {
    if (stream_size > SIZE_MAX / deflate_expansion) return SIZE_MAX;
    const std::size_t possible = deflate_expansion * stream_size + 64;
    return std::min(possible, std::max(always_plausible, plausible_expansion * stream_size));
}

section_data::inflater::inflater(std::unique_ptr<section_data> stored, std::size_t stream_offset,
                                 std::size_t stream_size)
    : stored_(std::move(stored)), stream_offset_(stream_offset), stream_size_(stream_size) {
    if (inflateInit(&stream_) != Z_OK) throw std::bad_alloc();
}

section_data::inflater::~inflater() { inflateEnd(&stream_); }

bool section_data::inflater::restart() {
    if (inflateReset(&stream_) != Z_OK) {
        broken = true;
        return false;
    }
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    consumed_ = 0;
    position = 0;
    needs_restart = false;
    return true;
}

bool section_data::inflater::refill() {
    if (consumed_ >= stream_size_) return false;
    const std::size_t left = stream_size_ - consumed_;
    std::size_t count = 0;
    if (stored_->in_memory()) {
        count = std::min<std::size_t>(left, UINT_MAX);
        stream_.next_in = const_cast<Bytef*>(stored_->bytes() + stream_offset_ + consumed_);
    } else {
        if (buffer_ == nullptr) buffer_ = allocate_unfilled(input_chunk);
        count = std::min(left, input_chunk);
        if (!stored_->copy_out(stream_offset_ + consumed_, count, buffer_.get())) return false;
        stream_.next_in = buffer_.get();
    }
    stream_.avail_in = static_cast<uInt>(count);
    consumed_ += count;
    return true;
}

bool section_data::inflater::inflate_into(std::uint8_t* out, std::size_t count) {
    while (count > 0) {
        if (broken) return false;
        // zlib may still owe output from input it has taken.
        const bool more_input = stream_.avail_in != 0 || refill();
        const std::size_t room = std::min<std::size_t>(count, UINT_MAX);
        stream_.next_out = out;
        stream_.avail_out = static_cast<uInt>(room);
        const int result = inflate(&stream_, Z_NO_FLUSH);
        const std::size_t produced = room - stream_.avail_out;
        position += produced;
        spent += produced;
        count_work(counted_work.bytes_inflated, produced);
        out += produced;
        count -= produced;
        if (result == Z_MEM_ERROR) {
            needs_restart = true;
            throw std::bad_alloc();
        }
        if (count == 0) break;
        // The stream ended or broke before the size it promised.
        if (result == Z_STREAM_END || (result != Z_OK && result != Z_BUF_ERROR) || (produced == 0 && !more_input))
            broken = true;
    }
    return true;
}

bool section_data::inflater::pass_over(std::size_t count) {
    // zlib keeps the window it needs; what passes through here is dropped.
    std::uint8_t scratch[16 * 1024];
    while (count > 0) {
        const std::size_t chunk = std::min(count, sizeof scratch);
        if (!inflate_into(scratch, chunk)) return false;
        count -= chunk;
    }
    return true;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
