#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_DECOMPRESSION_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_DECOMPRESSION_HPP

// The compressed forms debug information comes in: zlib and zstd sections,
// and the xz image of MiniDebugInfo. Zlib sections are inflated by ISA-L
// where it is installed. Each library is loaded the first time
// its form is met, not with calltrail: most processes never meet one. When a
// library cannot be loaded its form is not read, and loading is tried again
// the next time the form is met.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace korvo {
namespace calltrail {
namespace posix_engine {

// One compressed stream, decoded from its start as its input is handed in
// piece by piece: the caller decides where the input comes from.
class stream_decoder {
public:
    enum class status { going, ended, broken, out_of_memory };

    virtual ~stream_decoder() = default;
    // Decodes what it can of [in, in + in_size) into [out, out + out_size),
    // moving both past what it took and wrote.
    virtual status decode(const std::uint8_t*& in, std::size_t& in_size, std::uint8_t*& out, std::size_t& out_size) = 0;
    // Back to the start of the stream, whose input is handed in again.
    virtual bool restart() = 0;
    // Gives back what memory the decoder can make again on its next decode.
    // True when it did: the stream must then be restarted.
    virtual bool let_go() noexcept { return false; }
};

// Which library inflates a zlib stream: ISA-L, about twice as fast, when it
// is installed, and zlib otherwise; or only the one named.
enum class deflate_decoder { fastest, isal, zlib };

// Null when the library is missing. Throw std::bad_alloc when the decoder
// cannot be made for want of memory.
std::unique_ptr<stream_decoder> zlib_decoder(deflate_decoder which = deflate_decoder::fastest);
std::unique_ptr<stream_decoder> zstd_decoder();

// The most a stream of `stream_size` bytes is taken to decode to: a size
// declared beyond that is cut there. A deflate stream cannot even decode to
// more than its own bound.
std::size_t plausible_inflated_size(std::size_t stream_size, bool deflate) noexcept;

// The whole of an xz stream, if it decodes to at most `limit` bytes.
bool decode_xz(const std::uint8_t* input, std::size_t size, std::size_t limit, std::vector<std::uint8_t>& out);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
