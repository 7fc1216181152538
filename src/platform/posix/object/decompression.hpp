#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_DECOMPRESSION_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_DECOMPRESSION_HPP

// The compressed forms debug information comes in: zlib and zstd sections,
// and the xz image of MiniDebugInfo. Each library is loaded the first time
// its form is met, not with calltrail: most processes never meet one. When a
// library cannot be loaded its form is not read.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace korvo {
namespace calltrail {
namespace posix_engine {

// A compressed stream read from its start, in order.
class stream_decoder {
public:
    virtual ~stream_decoder() = default;
    // The next `count` bytes of output; false when the stream ends or breaks
    // before them.
    virtual bool read(std::uint8_t* out, std::size_t count) = 0;
    // Back to the first byte of output.
    virtual bool restart() = 0;
};

// Null when the library is missing or the stream cannot be started. The
// input must outlive the decoder.
std::unique_ptr<stream_decoder> zlib_stream(const std::uint8_t* input, std::size_t size);
std::unique_ptr<stream_decoder> zstd_stream(const std::uint8_t* input, std::size_t size);

// The whole of an xz stream, if it decodes to at most `limit` bytes.
bool decode_xz(const std::uint8_t* input, std::size_t size, std::size_t limit, std::vector<std::uint8_t>& out);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
