#ifndef KORVO_CALLTRAIL_POSIX_SUPPORT_CHECKED_ARITHMETIC_HPP
#define KORVO_CALLTRAIL_POSIX_SUPPORT_CHECKED_ARITHMETIC_HPP

// Sums and products of numbers read from a file, which may be anything: an
// address or offset that does not fit is refused, a line number saturates.

#include <cstdint>
#include <limits>

namespace korvo {
namespace calltrail {
namespace posix_engine {

// False, leaving `out` unspecified, when the result does not fit.
inline bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t& out) noexcept {
    return !__builtin_add_overflow(a, b, &out);
}
inline bool checked_multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& out) noexcept {
    return !__builtin_mul_overflow(a, b, &out);
}

inline std::int64_t saturated_add(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
