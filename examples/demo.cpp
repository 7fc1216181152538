// Prints the stack of a few nested calls.
#include <korvo/calltrail/calltrail.hpp>

#include <cstdio>
#include <string>

namespace {

__attribute__((noinline)) std::string capture_here() {
    const void* addresses[64];
    const std::size_t count = korvo::calltrail::detail::this_thread_frames::collect(addresses, 64, 1);
    korvo::calltrail::frame frames[64];
    for (std::size_t i = 0; i < count; ++i) frames[i] = korvo::calltrail::frame(addresses[i]);
    return korvo::calltrail::detail::to_string(frames, count);
}

__attribute__((noinline)) std::string parse_config(int depth) {
    if (depth > 0) return parse_config(depth - 1);
    return capture_here();
}

__attribute__((noinline)) std::string load_settings() { return parse_config(1); }

} // namespace

int main() {
    std::fputs(load_settings().c_str(), stdout);
    return 0;
}
