#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_INFLATER_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_INFLATER_HPP

// The compressed stream behind a section: where it stands, and how its input
// is fed from the stored section without holding that in memory.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/posix/object/decompression.hpp"
#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct section_data::inflater {
    inflater(std::unique_ptr<stream_decoder> decoder, std::unique_ptr<section_data> stored, std::size_t stream_offset,
             std::size_t stream_size) noexcept;
    ~inflater() = default;
    inflater(const inflater&) = delete;
    inflater& operator=(const inflater&) = delete;

    bool restart();
    // Inflates the next `count` bytes into `out`, or drops them. False when
    // the stream is broken or ends before.
    bool inflate_into(std::uint8_t* out, std::size_t count);
    bool pass_over(std::size_t count);
    // Between calls: the input read from a file and not yet taken is let go,
    // to be read again when the stream goes on, so that of all the streams
    // open only the one at work holds an input buffer. A stream still near
    // its start lets its decoder's memory go too, and starts again.
    void pause() noexcept;
    // Lets the decoder's memory go, wherever the stream stands.
    void let_go() noexcept;

    bool broken = false;
    // The decoder ran out of memory midway: the stream must start again.
    bool needs_restart = false;
    bool whole = false;
    // Bytes of the output produced so far, and ever (restarts included).
    std::size_t position = 0;
    std::size_t spent = 0;

private:
    bool refill();

    std::unique_ptr<stream_decoder> decoder_;
    const std::uint8_t* input_ = nullptr;
    std::size_t input_left_ = 0;
    std::unique_ptr<section_data> stored_;
    std::size_t stream_offset_ = 0;
    std::size_t stream_size_ = 0;
    std::size_t consumed_ = 0;
    // Input read from a file goes through here; made on the first read.
    unfilled_bytes buffer_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
