#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_SECTION_DATA_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_SECTION_DATA_HPP

#include <cstddef>
#include <cstdint>
#include <memory>

namespace korvo {
namespace calltrail {
namespace posix_engine {

class file_source;
class stream_decoder;

// Bytes that are written before they are read: not zeroed first.
struct free_bytes {
    void operator()(std::uint8_t* bytes) const noexcept;
};
using unfilled_bytes = std::unique_ptr<std::uint8_t[], free_bytes>;
// Throws std::bad_alloc.
unfilled_bytes allocate_unfilled(std::size_t size);

// The bytes of one section, made readable only where a reader asks: a lookup
// in one unit of libc must not pay for reading or inflating, nor for memory
// to hold, the megabytes before it. Bytes asked for go to reserved address
// space at their own offset, page by page, read from the file or decoded
// from a zlib or zstd stream; pointers into the section stay valid and the bytes
// behind them never change. Inflated bytes passed over on the way go to a
// scratch buffer and are dropped. Reading behind the stream starts it again;
// once that has cost as much as the section itself, the section is inflated
// whole instead, so a section is never inflated more than about twice.
//
// Not thread-safe: callers serialise ensure() (the owning object's build
// lock). A thread inflating ahead writes only past what readers were given.
class section_data {
public:
    section_data() = default;
    ~section_data();
    section_data(const section_data&) = delete;
    section_data& operator=(const section_data&) = delete;

    // Bytes used where they are, e.g. in an image in memory.
    static std::unique_ptr<section_data> plain(const std::uint8_t* bytes, std::size_t size);
    // `size` bytes at `offset` of a file, read as they are asked for.
    static std::unique_ptr<section_data> from_file(std::shared_ptr<file_source> file, std::uint64_t offset,
                                                   std::size_t size);
    // The zlib or zstd stream that `stored` holds from `stream_offset` on,
    // decoding to `size` bytes. A size beyond what the stream can plausibly
    // hold is cut to that: the rest cannot be read. Null when the decoder's
    // library is missing or the stream cannot be started.
    static std::unique_ptr<section_data> zlib(std::unique_ptr<section_data> stored, std::size_t stream_offset,
                                              std::size_t size);
    static std::unique_ptr<section_data> zstd(std::unique_ptr<section_data> stored, std::size_t stream_offset,
                                              std::size_t size);
    static std::unique_ptr<section_data> zlib(const std::uint8_t* stream, std::size_t stream_size, std::size_t size);
    static std::unique_ptr<section_data> zstd(const std::uint8_t* stream, std::size_t stream_size, std::size_t size);

    const std::uint8_t* bytes() const noexcept { return bytes_; }
    std::size_t size() const noexcept { return size_; }
    // Stored compressed, whether or not it has been inflated since.
    bool compressed() const noexcept { return compressed_; }
    // Held whole in memory, as plain() holds it.
    bool in_memory() const noexcept { return filled_ == nullptr; }

    // Makes [begin, end) readable. False when it lies beyond the section, or
    // the file or stream cannot give it. Throws when the process is out of
    // descriptors, which may pass.
    bool ensure(std::size_t begin, std::size_t end) {
        if (begin >= ready_begin_ && end <= ready_end_) return true;
        return make_ready(begin, end);
    }

    // For a reader that will want most of a section, before it reads any of
    // it: a compressed one is from now on made readable from its start on
    // and kept so, which inflates its stream once, never passing over bytes
    // that are wanted later. Any large one is held in huge pages where the
    // system gives them, and what is read stays: a fresh page costs more to
    // fault in than its bytes cost to read.
    void read_in_order() noexcept;
    // After read_in_order(), for a reader that has given its first answer:
    // a large section is from its next read on read or inflated by a thread
    // of its own, ahead of the reader, which then waits only for bytes not
    // yet there.
    void read_ahead() noexcept;

    // The reader is done with the section for now: a paused stream gives
    // back its decoder's memory, and starts again if more is asked for. A
    // lookup reads one table from each of several streams far from their
    // starts; their decoders need not all stay.
    void let_go_of_decoder() noexcept;

    // Copies bytes out without keeping them readable.
    bool copy_out(std::size_t offset, std::size_t count, std::uint8_t* out);

    // Gives back the memory of the whole pages inside [begin, end), which
    // nothing may point into any more; they are read again if asked for.
    void release(std::size_t begin, std::size_t end) noexcept;

private:
    struct inflater;
    struct ahead;

    static std::unique_ptr<section_data> decoded(std::unique_ptr<stream_decoder> decoder, bool deflate,
                                                 std::unique_ptr<section_data> stored, std::size_t stream_offset,
                                                 std::size_t size);
    bool reserve(std::size_t size);
    void make_storage();
    bool make_ready(std::size_t begin, std::size_t end);
    bool read_pages(std::size_t first, std::size_t last, std::size_t needed);
    bool inflate_pages(std::size_t first, std::size_t last, std::size_t needed);
    void start_ahead() noexcept;
    void fill_ahead() noexcept;
    bool read_unfilled(std::size_t begin, std::size_t end);
    bool wait_ahead(std::size_t end);
    bool filled(std::size_t page) const noexcept { return (filled_[page / 64] >> (page % 64) & 1) != 0; }
    void mark(std::size_t page) noexcept { filled_[page / 64] |= std::uint64_t{1} << (page % 64); }
    std::size_t page_end(std::size_t page) const noexcept;
    void set_ready(std::size_t first, std::size_t last) noexcept;

    const std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
    bool compressed_ = false;
    bool in_order_ = false;
    // Read for most of it (read_in_order): kept, in huge pages.
    bool bulk_ = false;
    // The readable range last used; other pages are known by filled_.
    std::size_t ready_begin_ = 0;
    std::size_t ready_end_ = 0;
    // Where bytes are filled in: reserved address space, or for a small
    // section a block of the heap; null until something is read.
    std::uint8_t* storage_ = nullptr;
    bool mapped_ = false;
    std::size_t mapped_size_ = 0;
    unfilled_bytes heap_;
    std::unique_ptr<std::uint64_t[]> filled_;
    std::size_t pages_ = 0;
    std::shared_ptr<file_source> file_;
    std::uint64_t file_offset_ = 0;
    std::unique_ptr<inflater> inflater_;
    // A large section read in bulk is filled by a thread of its own, which
    // then alone uses inflater_.
    std::unique_ptr<ahead> ahead_;
    bool ahead_wanted_ = false;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
