#include "platform/posix/object/inflater.hpp"

#include <algorithm>
#include <new>

#include "platform/posix/support/work_counts.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

constexpr std::size_t input_chunk = std::size_t{16} * 1024;
// A stream paused this close to its start costs less to inflate again than
// its decoder's memory is worth keeping.
constexpr std::size_t cheap_to_redo = std::size_t{32} * 1024;

} // namespace

section_data::inflater::inflater(std::unique_ptr<stream_decoder> decoder, std::unique_ptr<section_data> stored,
                                 std::size_t stream_offset, std::size_t stream_size) noexcept
    : decoder_(std::move(decoder)), stored_(std::move(stored)), stream_offset_(stream_offset),
      stream_size_(stream_size) {}

bool section_data::inflater::restart() {
    if (!decoder_->restart()) {
        broken = true;
        return false;
    }
    input_ = nullptr;
    input_left_ = 0;
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
        count = left;
        input_ = stored_->bytes() + stream_offset_ + consumed_;
    } else {
        if (buffer_ == nullptr) buffer_ = allocate_unfilled(input_chunk);
        count = std::min(left, input_chunk);
        if (!stored_->copy_out(stream_offset_ + consumed_, count, buffer_.get())) return false;
        input_ = buffer_.get();
    }
    input_left_ = count;
    consumed_ += count;
    return true;
}

void section_data::inflater::let_go() noexcept {
    if (!broken && decoder_->let_go()) needs_restart = true;
}

void section_data::inflater::pause() noexcept {
    if (position <= cheap_to_redo) let_go();
    if (buffer_ == nullptr) return;
    consumed_ -= input_left_;
    input_ = nullptr;
    input_left_ = 0;
    buffer_.reset();
}

bool section_data::inflater::inflate_into(std::uint8_t* out, std::size_t count) {
    while (count > 0) {
        if (broken) return false;
        // The decoder may still owe output from input it has taken.
        const bool more_input = input_left_ != 0 || refill();
        std::size_t room = count;
        const stream_decoder::status result = decoder_->decode(input_, input_left_, out, room);
        const std::size_t produced = count - room;
        position += produced;
        spent += produced;
        count_work(counted_work.bytes_inflated, produced);
        count = room;
        if (result == stream_decoder::status::out_of_memory) {
            needs_restart = true;
            throw std::bad_alloc();
        }
        if (count == 0) break;
        // The stream ended or broke before the size it promised.
        if (result != stream_decoder::status::going || (produced == 0 && !more_input)) broken = true;
    }
    return true;
}

bool section_data::inflater::pass_over(std::size_t count) {
    // The decoder keeps the window it needs; what passes through here is
    // dropped. Small, since this may run on a signal handler's stack.
    std::uint8_t scratch[4 * 1024];
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
