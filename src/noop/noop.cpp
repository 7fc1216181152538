// The no-op back-end: the same eight operations with nothing behind them.
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

namespace korvo {
namespace calltrail {

std::string frame::name() const { return std::string(); }
std::string frame::source_file() const { return std::string(); }
std::size_t frame::source_line() const { return 0; }
std::string to_string(const frame&) { return std::string(); }

namespace detail {

std::size_t this_thread_frames::collect(const void**, std::size_t, std::size_t) noexcept { return 0; }
std::size_t dump(void*, const void* const*, std::size_t) noexcept { return 0; }
std::size_t dump(const char*, const void* const*, std::size_t) noexcept { return 0; }
std::string to_string(const frame*, std::size_t) { return std::string(); }

} // namespace detail
} // namespace calltrail
} // namespace korvo
