#ifndef KORVO_CALLTRAIL_POSIX_SUPPORT_WORK_COUNTS_HPP
#define KORVO_CALLTRAIL_POSIX_SUPPORT_WORK_COUNTS_HPP

// What the reader has done, counted process-wide: bounds on work are held
// against these counts, which do not depend on the machine's speed as a time
// would.

#include <atomic>
#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct work_counts {
    // Inflated from a compressed section (zlib or zstd), passed-over bytes
    // included.
    std::atomic<std::uint64_t> bytes_inflated{0};
    std::atomic<std::uint64_t> bytes_read{0};
    std::atomic<std::uint64_t> bytes_checksummed{0};
    std::atomic<std::uint64_t> abbreviations_read{0};
    std::atomic<std::uint64_t> range_entries_read{0};
    std::atomic<std::uint64_t> path_bytes_made{0};
};

inline work_counts counted_work;

inline void count_work(std::atomic<std::uint64_t>& counter, std::uint64_t amount) noexcept {
    counter.fetch_add(amount, std::memory_order_relaxed);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
