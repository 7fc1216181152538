#include <korvo/calltrail/calltrail.hpp>

#include <cstdio>

// Prints how many frames it captured and the length of their text.
int main() {
    const void* addresses[32];
    const std::size_t count = korvo::calltrail::detail::this_thread_frames::collect(addresses, 32, 0);
    korvo::calltrail::frame frames[32];
    for (std::size_t i = 0; i < count; ++i) frames[i] = korvo::calltrail::frame(addresses[i]);
    const std::string text = korvo::calltrail::detail::to_string(frames, count);
    std::printf("frames=%zu text=%zu\n", count, text.size());
    return 0;
}
