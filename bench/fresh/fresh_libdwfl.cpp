#include "../support/dwfl_peer.hpp"
#include "../support/sample_trace.hpp"
#include "fresh_main.hpp"

#include <execinfo.h>

namespace {

__attribute__((noinline)) std::string capture_and_render() {
    void* addresses[calltrail_bench::sample_frames];
    const int count = backtrace(addresses, static_cast<int>(calltrail_bench::sample_frames));
    const calltrail_bench::dwfl_peer peer;
    return peer.render(addresses, count > 0 ? static_cast<std::size_t>(count) : 0);
}

} // namespace

int main(int argc, char** argv) { return calltrail_bench::fresh_main(argc, argv, capture_and_render); }
