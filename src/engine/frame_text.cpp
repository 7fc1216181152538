#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

// Rendering is not wired in yet: every text is empty.
namespace korvo {
namespace calltrail {

std::string to_string(const frame&) { return std::string(); }

namespace detail {
std::string to_string(const frame*, std::size_t) { return std::string(); }
} // namespace detail

} // namespace calltrail
} // namespace korvo
