#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_INFLATER_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_INFLATER_HPP

// The zlib stream behind a compressed section: where it stands, and how its
// input is fed from the stored section without holding that in memory.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// The most a stream of `stream_size` bytes is taken to inflate to.
std::size_t plausible_inflated_size(std::size_t stream_size) noexcept;

struct section_data::inflater {
    // Throws std::bad_alloc when zlib cannot start.
    inflater(std::unique_ptr<section_data> stored, std::size_t stream_offset, std::size_t stream_size);
    ~inflater();
    inflater(const inflater&) = delete;
    inflater& operator=(const inflater&) = delete;

    bool restart();
    // Inflates the next `count` bytes into `out`, or drops them. False when
    // the stream is broken or ends before.
    bool inflate_into(std::uint8_t* out, std::size_t count);
    bool pass_over(std::size_t count);

    bool broken = false;
    // zlib ran out of memory midway: the stream must start again.
    bool needs_restart = false;
    bool whole = false;
    // Bytes of the output produced so far, and ever (restarts included).
    std::size_t position = 0;
    std::size_t spent = 0;

private:
    bool refill();

    z_stream stream_{};
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
