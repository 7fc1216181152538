#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_SECTION_DATA_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_SECTION_DATA_HPP

// The bytes of one section, as far as a reader has asked for them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace korvo {
namespace calltrail {
namespace posix_engine {

class stream_decoder;

// The bytes of one debug section. A compressed section is inflated only
// where a reader asks: a lookup in one unit of libc must not pay for
// decoding, nor for memory to hold, the megabytes before it. Bytes passed
// over are inflated into a scratch buffer and dropped; bytes asked for go to
// reserved address space at their own offset, so pointers into the section
// stay valid. Reading behind the stream starts it again; once that has cost
// as much as the section itself, the section is inflated whole instead.
//
// Not thread-safe: callers serialise ensure() (the owning object's build
// lock). Bytes that ensure() made readable never change again.
class section_data {
public:
    section_data() = default;
    ~section_data();
    section_data(const section_data&) = delete;
    section_data& operator=(const section_data&) = delete;

    // Bytes used where they are, e.g. in a mapped file.
    static std::unique_ptr<section_data> plain(const std::uint8_t* bytes, std::size_t size);
    // A stream that decodes to exactly `size` bytes; null when address space
    // cannot be reserved or the stream cannot be started.
    static std::unique_ptr<section_data> decoded(std::unique_ptr<stream_decoder> stream, std::size_t size);
    static std::unique_ptr<section_data> zlib(const std::uint8_t* stream, std::size_t stream_size, std::size_t size);
    static std::unique_ptr<section_data> zstd(const std::uint8_t* stream, std::size_t stream_size, std::size_t size);

    const std::uint8_t* bytes() const noexcept { return bytes_; }
    std::size_t size() const noexcept { return size_; }
    // Stored compressed, whether or not it has been inflated since.
    bool compressed() const noexcept { return reserved_ != nullptr; }

    // Makes [begin, end) readable. False when it lies beyond the section or
    // the stream is broken before its end.
    bool ensure(std::size_t begin, std::size_t end) {
        if (begin >= ready_begin_ && end <= ready_end_) return true;
        return make_ready(begin, end);
    }

private:
    struct inflater;

    bool make_ready(std::size_t begin, std::size_t end);
    bool restart();
    bool inflate_into(std::uint8_t* out, std::size_t count);
    bool pass_over(std::size_t count);
    void add_range(std::size_t begin, std::size_t end);

    const std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
    // The readable range last used; the others are in ranges_.
    std::size_t ready_begin_ = 0;
    std::size_t ready_end_ = 0;
    std::vector<std::pair<std::size_t, std::size_t>> ranges_;
    std::uint8_t* reserved_ = nullptr;
    std::unique_ptr<inflater> inflater_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
