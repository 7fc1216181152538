#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include "../support/sample_trace.hpp"
#include "fresh_main.hpp"

namespace {

__attribute__((noinline)) std::string capture_and_render() {
    namespace calltrail = korvo::calltrail;
    const void* addresses[calltrail_bench::sample_frames];
    const std::size_t count =
        calltrail::detail::this_thread_frames::collect(addresses, calltrail_bench::sample_frames, 1);
    return calltrail::detail::to_string(reinterpret_cast<const calltrail::frame*>(addresses), count);
}

} // namespace

int main(int argc, char** argv) { return calltrail_bench::fresh_main(argc, argv, capture_and_render); }
