#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_ISAL_INFLATE_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_ISAL_INFLATE_HPP

// Intel's ISA-L inflate, declared here rather than taken from its header:
// the library is optional at run time, so building needs nothing of it. The
// caller owns the state and sets its leading fields, which every release of
// the soname keeps; the rest is the library's own and only grows with its
// tables (87 KB in 2.30), so it gets reserved address space three times that
// size, whose untouched pages cost nothing. The tests hold this to the
// header where it is installed.

#include <cstddef>
#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct isal_state_head {
    std::uint8_t* next_out;
    std::uint32_t avail_out;
    std::uint32_t total_out;
    const std::uint8_t* next_in;
    std::uint64_t read_in;
    std::uint32_t avail_in;
    std::int32_t read_in_length;
};

constexpr std::size_t isal_state_reserve = std::size_t{256} * 1024;
constexpr int isal_decomp_ok = 0;
constexpr int isal_end_input = 1;
constexpr int isal_out_overflow = 2;

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
