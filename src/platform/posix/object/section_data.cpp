#include "platform/posix/object/section_data.hpp"

#include <sys/mman.h>

#include <algorithm>

#include "platform/posix/object/decompression.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {
// Read-ahead past what a reader asked for, so that walking forward through
// a unit costs few calls into the decoder.
constexpr std::size_t read_ahead = std::size_t{16} * 1024;
// Small sections are inflated whole at once.
constexpr std::size_t small_section = std::size_t{128} * 1024;
// A gap this small is inflated in place rather than passed over, keeping
// the readable ranges few.
constexpr std::size_t small_gap = 4096;
} // namespace

struct section_data::inflater {
    std::unique_ptr<stream_decoder> stream;
    bool broken = false;
    // Bytes of the output the stream has produced so far.
    std::size_t position = 0;
    // Everything ever inflated, passes over and restarts included.
    std::size_t spent = 0;
    bool whole = false;
};

section_data::~section_data() {
    inflater_.reset();
    if (reserved_ != nullptr) munmap(reserved_, size_);
}

std::unique_ptr<section_data> section_data::plain(const std::uint8_t* bytes, std::size_t size) {
    auto section = std::make_unique<section_data>();
    section->bytes_ = bytes;
    section->size_ = size;
    section->ready_end_ = size;
    return section;
}

std::unique_ptr<section_data> section_data::decoded(std::unique_ptr<stream_decoder> stream, std::size_t size) {
    if (size == 0 || stream == nullptr) return nullptr;
    auto section = std::make_unique<section_data>();
    // Untouched pages of the reservation cost no memory.
    void* reserved = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) return nullptr;
    section->reserved_ = static_cast<std::uint8_t*>(reserved);
    section->bytes_ = section->reserved_;
    section->size_ = size;
    section->inflater_ = std::make_unique<inflater>();
    section->inflater_->stream = std::move(stream);
    section->inflater_->whole = size <= small_section;
    return section;
}

std::unique_ptr<section_data> section_data::zlib(const std::uint8_t* stream, std::size_t stream_size,
                                                 std::size_t size) {
    return decoded(zlib_stream(stream, stream_size), size);
}

std::unique_ptr<section_data> section_data::zstd(const std::uint8_t* stream, std::size_t stream_size,
                                                 std::size_t size) {
    return decoded(zstd_stream(stream, stream_size), size);
}

bool section_data::restart() {
    inflater& z = *inflater_;
    if (!z.stream->restart()) {
        z.broken = true;
        return false;
    }
    z.position = 0;
    return true;
}

bool section_data::inflate_into(std::uint8_t* out, std::size_t count) {
    inflater& z = *inflater_;
    // A failed read leaves the stream's place unknown.
    if (!z.stream->read(out, count)) {
        z.broken = true;
        return false;
    }
    z.position += count;
    z.spent += count;
    return true;
}

bool section_data::pass_over(std::size_t count) {
    // The decoder keeps the window it needs; what passes through here is dropped.
    std::uint8_t scratch[4 * 1024];
    while (count > 0) {
        const std::size_t chunk = std::min(count, sizeof scratch);
        if (!inflate_into(scratch, chunk)) return false;
        count -= chunk;
    }
    return true;
}

void section_data::add_range(std::size_t begin, std::size_t end) {
    // Ranges stay sorted and disjoint; touching ones merge.
    auto at = std::lower_bound(ranges_.begin(), ranges_.end(), std::make_pair(begin, std::size_t{0}));
    if (at != ranges_.begin() && std::prev(at)->second >= begin) --at;
    std::size_t low = begin;
    std::size_t high = end;
    auto last = at;
    while (last != ranges_.end() && last->first <= high) {
        low = std::min(low, last->first);
        high = std::max(high, last->second);
        ++last;
    }
    at = ranges_.erase(at, last);
    ranges_.insert(at, std::make_pair(low, high));
    ready_begin_ = low;
    ready_end_ = high;
}

bool section_data::make_ready(std::size_t begin, std::size_t end) {
    if (begin > end || end > size_) return false;
    for (const auto& range : ranges_)
        if (begin >= range.first && end <= range.second) {
            ready_begin_ = range.first;
            ready_end_ = range.second;
            return true;
        }
    if (inflater_ == nullptr || inflater_->broken) return false;
    inflater& z = *inflater_;

    if (z.whole) {
        begin = 0;
    } else if (begin < z.position) {
        // Reading on from a range that ends where the stream is needs no
        // restart; anything else behind the stream does.
        bool continues = false;
        for (const auto& range : ranges_)
            if (range.second == z.position && range.first <= begin) continues = true;
        if (continues) {
            begin = z.position;
        } else {
            if (z.spent >= size_) {
                z.whole = true;
                begin = 0;
            }
            if (!restart()) return false;
        }
    }
    const std::size_t target = z.whole ? size_ : std::min(size_, std::max(end, begin + read_ahead));

    if (begin > z.position) {
        if (begin - z.position <= small_gap)
            begin = z.position;
        else if (!pass_over(begin - z.position))
            return false;
    }
    // Bytes already in a range may be written again: they come out the same.
    if (!inflate_into(reserved_ + z.position, target - z.position)) return false;
    add_range(begin, target);
    if (z.whole && z.position == size_) {
        ranges_.assign(1, std::make_pair(std::size_t{0}, size_));
        ready_begin_ = 0;
        ready_end_ = size_;
        inflater_.reset();
    }
    return true;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
