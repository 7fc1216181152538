#include "platform/posix/object/section_data.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/posix/object/file_source.hpp"
#include "platform/posix/object/inflater.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

constexpr std::size_t page = 4096;
// Read-ahead past what a reader asked for, so that walking forward through
// a unit costs few reads or calls into zlib; less where bytes must be
// inflated to be had.
constexpr std::size_t read_ahead_pages = 16;
constexpr std::size_t inflate_ahead_pages = 4;
// Sections this small are read whole at once.
constexpr std::size_t small_section = std::size_t{64} * 1024;
// Held in the heap: a mapping of their own would round them up to pages, and
// too few of those to give back. A larger one read from a file (an
// executable's .debug_info, whose units are each read once) gets one, so
// that what its readers are done with goes back.
constexpr std::size_t heap_section = std::size_t{16} * 1024;
// The size and alignment of the huge pages a section read in bulk asks for.
constexpr std::size_t huge_page = std::size_t{2} << 20;
// A section read in bulk and this large is read (or inflated) by a thread of
// its own, in steps of this size: on another core, reading costs the reader
// nothing but waits for bytes it wants before they are there.
constexpr std::size_t worth_a_thread = std::size_t{1} << 20;
constexpr std::size_t ahead_step = std::size_t{256} * 1024;

std::size_t system_page() noexcept {
    static const std::size_t size = std::max<std::size_t>(page, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
    return size;
}

} // namespace

void free_bytes::operator()(std::uint8_t* bytes) const noexcept { std::free(bytes); }

unfilled_bytes allocate_unfilled(std::size_t size) {
    void* bytes = std::malloc(size != 0 ? size : 1);
    if (bytes == nullptr) throw std::bad_alloc();
    return unfilled_bytes(static_cast<std::uint8_t*>(bytes));
}

struct section_data::ahead {
    std::mutex lock;
    std::condition_variable moved;
    // [0, done) is filled; it only grows, and is published under the lock.
    std::atomic<std::size_t> done{0};
    bool finished = false;
    std::atomic<bool> stop{false};
    std::thread worker;
};

section_data::~section_data() {
    if (ahead_ != nullptr) {
        ahead_->stop.store(true, std::memory_order_relaxed);
        ahead_->worker.join();
    }
    inflater_.reset();
    if (mapped_) munmap(storage_, mapped_size_);
}

std::unique_ptr<section_data> section_data::plain(const std::uint8_t* bytes, std::size_t size) {
    auto section = std::make_unique<section_data>();
    section->bytes_ = bytes;
    section->size_ = size;
    section->ready_end_ = size;
    return section;
}

namespace {

// Whole huge pages from an aligned start: the kernel backs only aligned
// runs of a mapping with them. The space past the section is never touched.
std::uint8_t* reserve_huge(std::size_t size, std::size_t& mapped) {
    if (size > SIZE_MAX / 4) throw std::bad_alloc();
    mapped = (size + huge_page - 1) / huge_page * huge_page;
    void* reserved =
        mmap(nullptr, mapped + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(reserved);
    const std::uintptr_t aligned = (start + huge_page - 1) / huge_page * huge_page;
    if (aligned > start) munmap(reserved, aligned - start);
    munmap(reinterpret_cast<void*>(aligned + mapped), start + huge_page - aligned);
    // Only advice: without huge pages the bytes are read all the same.
    madvise(reinterpret_cast<void*>(aligned), mapped, MADV_HUGEPAGE);
    return reinterpret_cast<std::uint8_t*>(aligned);
}

} // namespace

bool section_data::reserve(std::size_t size) {
    size_ = size;
    pages_ = (size + page - 1) / page;
    if (size == 0) return true;
    filled_ = std::make_unique<std::uint64_t[]>((pages_ + 63) / 64);
    return true;
}

void section_data::make_storage() {
    // Made on the first read: a compressed section's stored bytes are only
    // ever copied out, straight from the file.
    if (size_ <= heap_section || (size_ <= small_section && file_ == nullptr)) {
        heap_ = allocate_unfilled(size_);
        storage_ = heap_.get();
    } else if (bulk_ && size_ >= huge_page / 2) {
        // Half a huge page of bytes is worth a whole one zeroed.
        storage_ = reserve_huge(size_, mapped_size_);
        mapped_ = true;
    } else {
        // Untouched pages of the reservation cost no memory.
        void* reserved =
            mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (reserved == MAP_FAILED) throw std::bad_alloc();
        storage_ = static_cast<std::uint8_t*>(reserved);
        mapped_size_ = size_;
        mapped_ = true;
    }
    bytes_ = storage_;
}

std::unique_ptr<section_data> section_data::from_file(std::shared_ptr<file_source> file, std::uint64_t offset,
                                                      std::size_t size) {
    auto section = std::make_unique<section_data>();
    section->reserve(size);
    section->file_ = std::move(file);
    section->file_offset_ = offset;
    return section;
}

std::unique_ptr<section_data> section_data::decoded(std::unique_ptr<stream_decoder> decoder, bool deflate,
                                                    std::unique_ptr<section_data> stored, std::size_t stream_offset,
                                                    std::size_t size) {
    if (decoder == nullptr || stored == nullptr || stream_offset > stored->size()) return nullptr;
    const std::size_t stream_size = stored->size() - stream_offset;
    size = std::min(size, plausible_inflated_size(stream_size, deflate));
    if (size == 0) return nullptr;
    auto section = std::make_unique<section_data>();
    section->compressed_ = true;
    section->inflater_ = std::make_unique<inflater>(std::move(decoder), std::move(stored), stream_offset, stream_size);
    section->reserve(size);
    section->inflater_->whole = size <= 2 * small_section;
    return section;
}

std::unique_ptr<section_data> section_data::zlib(std::unique_ptr<section_data> stored, std::size_t stream_offset,
                                                 std::size_t size) {
    if (stored == nullptr) return nullptr;
    return decoded(zlib_decoder(), true, std::move(stored), stream_offset, size);
}

std::unique_ptr<section_data> section_data::zstd(std::unique_ptr<section_data> stored, std::size_t stream_offset,
                                                 std::size_t size) {
    if (stored == nullptr) return nullptr;
    return decoded(zstd_decoder(), false, std::move(stored), stream_offset, size);
}

std::unique_ptr<section_data> section_data::zlib(const std::uint8_t* stream, std::size_t stream_size,
                                                 std::size_t size) {
    return zlib(plain(stream, stream_size), 0, size);
}

std::unique_ptr<section_data> section_data::zstd(const std::uint8_t* stream, std::size_t stream_size,
                                                 std::size_t size) {
    return zstd(plain(stream, stream_size), 0, size);
}

std::size_t section_data::page_end(std::size_t number) const noexcept { return std::min(size_, (number + 1) * page); }

void section_data::set_ready(std::size_t first, std::size_t last) noexcept {
    // The run of filled pages around the range, so that the next reads
    // nearby take the quick path, but looked for only so far: a quarter of a
    // megabyte each way.
    constexpr std::size_t most_pages_each_way = 64;
    for (std::size_t steps = 0; steps < most_pages_each_way && first > 0 && filled(first - 1); ++steps) --first;
    for (std::size_t steps = 0; steps < most_pages_each_way && last + 1 < pages_ && filled(last + 1); ++steps) ++last;
    ready_begin_ = first * page;
    ready_end_ = page_end(last);
}

bool section_data::make_ready(std::size_t begin, std::size_t end) {
    if (begin > end || end > size_ || filled_ == nullptr) return false;
    if (begin == end) return true;
    if (storage_ == nullptr) make_storage();
    if (ahead_wanted_ && ahead_ == nullptr && size_ >= worth_a_thread &&
        (in_order_ ? inflater_ != nullptr && !inflater_->whole && !inflater_->broken && !inflater_->needs_restart
                   : bulk_ && file_ != nullptr))
        start_ahead();
    if (ahead_ != nullptr) {
        if (wait_ahead(end)) return true;
        if (inflater_ != nullptr || !ahead_->finished) return false;
        // The file failed the thread (it changed, or descriptors ran out):
        // what it read stays, and the rest is read as asked, as before.
        ahead_->worker.join();
        const std::size_t done = ahead_->done.load(std::memory_order_relaxed);
        ahead_.reset();
        for (std::size_t p = 0; p < done / page; ++p) mark(p);
        ready_end_ = 0;
    }
    // Read in order, [0, ready_end_) is always filled.
    const std::size_t first = in_order_ ? 0 : begin / page;
    const std::size_t last = (end - 1) / page;
    std::size_t missing = in_order_ ? ready_end_ / page : first;
    while (missing <= last && filled(missing)) ++missing;
    if (missing <= last) {
        const std::size_t ahead = inflater_ != nullptr ? inflate_ahead_pages : read_ahead_pages;
        const std::size_t through =
            size_ <= small_section ? pages_ - 1 : std::min(pages_ - 1, std::max(last, missing + ahead - 1));
        bool ok = false;
        if (inflater_ != nullptr) {
            ok = inflate_pages(missing, through, last);
            // A section read in order goes on at once: its stream keeps all.
            if (inflater_ != nullptr && !in_order_) inflater_->pause();
        } else {
            ok = read_pages(missing, through, last);
        }
        if (!ok) return false;
        if (inflater_ == nullptr && compressed_) {
            // Inflated whole: everything is readable from now on.
            ready_begin_ = 0;
            ready_end_ = size_;
            return true;
        }
    }
    set_ready(first, last);
    return true;
}

void section_data::start_ahead() noexcept {
    try {
        ahead_ = std::make_unique<ahead>();
        // Read in order, a stream has filled all it has given; the thread
        // goes on from there.
        if (inflater_ != nullptr) ahead_->done.store(std::min(inflater_->position, size_), std::memory_order_relaxed);
        ahead_->worker = std::thread([this] { fill_ahead(); });
    } catch (...) {
        // Without a thread the reader inflates as it reads.
        ahead_.reset();
    }
}

void section_data::fill_ahead() noexcept {
    std::size_t at = ahead_->done.load(std::memory_order_relaxed);
    bool going = at < size_;
    while (going) {
        const std::size_t step = std::min(ahead_step, size_ - at);
        bool ok = false;
        try {
            ok = inflater_ != nullptr ? inflater_->inflate_into(storage_ + at, step) : read_unfilled(at, at + step);
        } catch (...) {}
        // Before a break, a stream's bytes are good as far as they go.
        at = ok ? at + step : inflater_ != nullptr ? std::max(at, std::min(inflater_->position, size_)) : at;
        going = ok && at < size_ && !ahead_->stop.load(std::memory_order_relaxed);
        const std::lock_guard<std::mutex> hold(ahead_->lock);
        ahead_->done.store(at, std::memory_order_release);
        ahead_->finished = !going;
        ahead_->moved.notify_all();
    }
}

bool section_data::read_unfilled(std::size_t begin, std::size_t end) {
    // Pages read before the thread began are in use, and are not written.
    for (std::size_t p = begin / page; p * page < end;) {
        std::size_t q = p;
        const bool run_filled = filled(p);
        while ((q + 1) * page < end && filled(q + 1) == run_filled) ++q;
        const std::size_t from = p * page;
        const std::size_t to = std::min(end, page_end(q));
        if (!run_filled && !file_->read(file_offset_ + from, to - from, storage_ + from)) return false;
        p = q + 1;
    }
    return true;
}

bool section_data::wait_ahead(std::size_t end) {
    std::size_t done = ahead_->done.load(std::memory_order_acquire);
    if (done < end) {
        std::unique_lock<std::mutex> hold(ahead_->lock);
        ahead_->moved.wait(hold, [&] {
            done = ahead_->done.load(std::memory_order_acquire);
            return done >= end || ahead_->finished;
        });
    }
    ready_begin_ = 0;
    ready_end_ = done;
    return end <= done;
}

bool section_data::read_pages(std::size_t first, std::size_t last, std::size_t needed) {
    if (file_ == nullptr) return false;
    for (std::size_t p = first; p <= last; ++p) {
        if (filled(p)) continue;
        std::size_t q = p;
        while (q < last && !filled(q + 1)) ++q;
        const std::size_t begin = p * page;
        const std::size_t end = page_end(q);
        // What was read ahead and not asked for may fail quietly.
        if (!file_->read(file_offset_ + begin, end - begin, storage_ + begin)) return p > needed;
        for (std::size_t r = p; r <= q; ++r) mark(r);
        p = q;
    }
    return true;
}

bool section_data::inflate_pages(std::size_t first, std::size_t last, std::size_t needed) {
    inflater& z = *inflater_;
    if (z.broken) return false;
    if (z.whole) {
        first = 0;
        last = pages_ - 1;
    }
    if (first * page < z.position || z.needs_restart) {
        if (z.spent >= size_ && !z.whole) {
            z.whole = true;
            first = 0;
            last = pages_ - 1;
        }
        if (!z.restart()) return false;
    }
    if (!z.pass_over(first * page - z.position)) return false;
    // Runs of pages not yet filled are inflated in place in one go; pages
    // already filled may be in use, and are passed over, never written again.
    for (std::size_t p = first; p <= last;) {
        std::size_t q = p;
        const bool run_filled = filled(p);
        while (q < last && filled(q + 1) == run_filled) ++q;
        const std::size_t begin = p * page;
        const std::size_t end = page_end(q);
        const bool ok = run_filled ? z.pass_over(end - begin) : z.inflate_into(storage_ + begin, end - begin);
        if (!ok) {
            // Whole pages inflated before the stream broke are good.
            const std::size_t good = (z.position - begin) / page;
            for (std::size_t r = p; !run_filled && r < p + good && r <= q; ++r) mark(r);
            return p + good > needed;
        }
        for (std::size_t r = p; r <= q; ++r) mark(r);
        p = q + 1;
    }
    if (z.whole && z.position == size_) inflater_.reset();
    return true;
}

bool section_data::copy_out(std::size_t offset, std::size_t count, std::uint8_t* out) {
    if (offset > size_ || count > size_ - offset) return false;
    if (count == 0) return true;
    if (file_ != nullptr) return file_->read(file_offset_ + offset, count, out);
    if (!ensure(offset, offset + count)) return false;
    std::memcpy(out, bytes_ + offset, count);
    return true;
}

void section_data::read_ahead() noexcept { ahead_wanted_ = true; }

void section_data::read_in_order() noexcept {
    // Only before storage is made, which is then made for it.
    if (storage_ == nullptr) bulk_ = true;
    if (ahead_ != nullptr || inflater_ == nullptr || inflater_->spent != 0 || ready_end_ != 0) return;
    in_order_ = true;
}

void section_data::let_go_of_decoder() noexcept {
    // A stream read in order goes on, and one a thread fills is the thread's.
    if (inflater_ == nullptr || in_order_ || ahead_ != nullptr) return;
    inflater_->pause();
    inflater_->let_go();
}

void section_data::release(std::size_t begin, std::size_t end) noexcept {
    // Only reserved space can be given back, and a section inflated whole
    // could not be filled again, nor one read in order but from its start.
    if (!mapped_ || in_order_ || bulk_ || (compressed_ && inflater_ == nullptr)) return;
    const std::size_t unit = system_page();
    const std::size_t from = (begin + unit - 1) / unit * unit;
    const std::size_t to = end >= size_ ? (size_ + unit - 1) / unit * unit : end / unit * unit;
    if (from >= to) return;
    madvise(storage_ + from, to - from, MADV_DONTNEED);
    for (std::size_t p = from / page; p < to / page && p < pages_; ++p)
        filled_[p / 64] &= ~(std::uint64_t{1} << (p % 64));
    ready_begin_ = 0;
    ready_end_ = 0;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
