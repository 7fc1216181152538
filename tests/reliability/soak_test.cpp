// A hundred thousand renderings of one 32-frame trace: the text never
// changes and resident memory settles instead of growing with the calls.
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "reliability/support/sample_addresses.hpp"

using korvo::calltrail::frame;

// AddressSanitizer holds freed memory back for a while, which would show as
// growth here; leaks are its own checker's business.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
    return "quarantine_size_mb=0";
}

namespace {

constexpr std::size_t calls = 100000;
constexpr std::size_t trace_depth = 32;

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long total_pages = 0;
    long resident_pages = 0;
    statm >> total_pages >> resident_pages;
    return resident_pages * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(soak, resident_memory_settles_over_a_hundred_thousand_traces) {
    std::vector<frame> trace = calltrail_test::captured_stack(trace_depth + 8);
    ASSERT_GE(trace.size(), trace_depth);
    trace.resize(trace_depth);
    const std::string expected = korvo::calltrail::detail::to_string(trace.data(), trace.size());
    ASSERT_FALSE(expected.empty());

    // Resident memory after each twentieth of the calls; the first warms up.
    std::vector<long> samples;
    std::size_t differing = 0;
    for (std::size_t i = 1; i <= calls; ++i) {
        if (korvo::calltrail::detail::to_string(trace.data(), trace.size()) != expected) ++differing;
        if (i % (calls / 20) == 0) samples.push_back(resident_kib());
    }
    EXPECT_EQ(differing, 0u);

    const long first = samples.front();
    const long middle = samples[samples.size() / 2 - 1];
    const long last = samples.back();
    std::printf("soak: resident memory after %zu, %zu and %zu traces: %ld, %ld, %ld KiB\n", calls / 20, calls / 2,
                calls, first, middle, last);

    // A leak of a few bytes per call grows memory steadily; allocator noise
    // does not. Judged on the last quarter, and on a rise at every step.
    const long last_quarter_growth = last - samples[samples.size() * 3 / 4 - 1];
    EXPECT_LT(last_quarter_growth, 1024) << "KiB gained over the last quarter of the calls";
    bool rose_every_step = true;
    for (std::size_t i = 1; i < samples.size(); ++i)
        rose_every_step = rose_every_step && samples[i] > samples[i - 1] + 16;
    EXPECT_FALSE(rose_every_step) << "resident memory rose at every twentieth of the calls";
}

} // namespace
