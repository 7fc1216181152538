#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_CALL_INSTRUCTION_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_CALL_INSTRUCTION_HPP

// The one place that knows the processor's instruction encoding: whether the
// bytes before a return address can be a call. Where it is not known, the
// answer is "no", which only costs the rare case it serves.

#include <cstddef>
#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_engine {

// How many bytes before an address ends_in_call() may read.
extern const std::size_t longest_call;

// Whether the instruction that ends at `end` can be a call.
bool ends_in_call(const std::uint8_t* end) noexcept;

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
