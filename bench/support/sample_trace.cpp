#include "sample_trace.hpp"

#include <execinfo.h>

namespace calltrail_bench {
namespace {

__attribute__((noinline)) void take_here(void* argument) {
    auto& sample = *static_cast<sample_trace*>(argument);
    void* out[sample_frames];
    const int got = backtrace(out, static_cast<int>(sample_frames));
    for (int i = 0; i < got; ++i) sample.addresses[i] = out[i];
    sample.count = got > 0 ? static_cast<std::size_t>(got) : 0;
    __asm__ __volatile__("" ::: "memory");
}

} // namespace

sample_trace take_sample(route how) {
    sample_trace sample;
    run_in_chain(sample_frames + 8, how, take_here, &sample);
    return sample;
}

} // namespace calltrail_bench
