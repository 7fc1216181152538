#include "../support/backward_peer.hpp"
#include "../support/sample_trace.hpp"
#include "fresh_main.hpp"

namespace {

__attribute__((noinline)) std::string capture_and_render() {
    const void* addresses[calltrail_bench::sample_frames];
    const std::size_t count = calltrail_bench::backward_peer::capture(addresses, calltrail_bench::sample_frames);
    calltrail_bench::backward_peer peer;
    return peer.render(addresses, count);
}

} // namespace

int main(int argc, char** argv) { return calltrail_bench::fresh_main(argc, argv, capture_and_render); }
