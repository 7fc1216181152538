#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_SEQLOCK_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_SEQLOCK_HPP

#include <atomic>
#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "slots must be usable from signal handlers");

// A few words under a sequence lock that nobody ever waits on: a reader that
// meets a writer misses, and a writer that meets another gives up (false). So it is
// safe in a signal handler that interrupted a writer, on its thread or
// another. The words are atomics, so no access is a data race; their order
// is kept by acquire loads and release stores alone, without fences, which
// ThreadSanitizer does not model (on x86-64 all of them are plain moves).
template <unsigned words> struct seqlock_slot {
    std::atomic<std::uint64_t> sequence; // odd while written; 0 while never written
    std::atomic<std::uint64_t> word[words];

    bool empty() const { return sequence.load(std::memory_order_relaxed) == 0; }

    bool read(std::uint64_t (&out)[words]) const {
        const std::uint64_t before = read_begin();
        for (unsigned i = 0; i < words; ++i) out[i] = load(i);
        return read_end(before);
    }

    // A read that compares the words where they stand: the words loaded
    // between the two calls held still when the second says so.
    std::uint64_t read_begin() const { return sequence.load(std::memory_order_acquire); }
    std::uint64_t load(unsigned i) const { return word[i].load(std::memory_order_acquire); }
    bool read_end(std::uint64_t before) const {
        // A word a writer stored after making the sequence odd carries that
        // odd sequence with it, so the last load sees it.
        return before != 0 && (before & 1) == 0 && sequence.load(std::memory_order_relaxed) == before;
    }

    bool write(const std::uint64_t (&in)[words]) {
        std::uint64_t before = sequence.load(std::memory_order_relaxed);
        if ((before & 1) != 0 ||
            !sequence.compare_exchange_strong(before, before + 1, std::memory_order_acquire, std::memory_order_relaxed))
            return false;
        for (unsigned i = 0; i < words; ++i) word[i].store(in[i], std::memory_order_release);
        sequence.store(before + 2, std::memory_order_release);
        return true;
    }
};

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
