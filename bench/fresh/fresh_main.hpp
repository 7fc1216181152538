#ifndef CALLTRAIL_BENCH_FRESH_MAIN_HPP
#define CALLTRAIL_BENCH_FRESH_MAIN_HPP

#include <string>

namespace calltrail_bench {

// The whole life of a program that reports one trace: capture the innermost
// 32 frames at the bottom of a chain, render them, write the text, exit.
// argv[1] "exe" keeps every frame in the executable; otherwise the trace
// crosses the hop library and the C library. Exits 3 when the text is empty.
using capture_and_render = std::string (*)();
int fresh_main(int argc, char** argv, capture_and_render work);

} // namespace calltrail_bench

#endif
