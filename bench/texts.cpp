// Prints what every renderer makes of the trace that the warm rows render, so
// that one can see that the rows do the same work.

#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include "support/dwfl_peer.hpp"
#include "support/sample_trace.hpp"
#if CALLTRAIL_BENCH_HAVE_BACKWARD
#include "support/backward_peer.hpp"
#endif

#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace calltrail_bench;

void show(const char* who, const std::string& text) {
    std::printf("== %s\n%s", who, text.empty() ? "(empty)\n" : text.c_str());
}

std::string backtrace_symbols_text(const sample_trace& trace) {
    std::string text;
    char** lines = backtrace_symbols(const_cast<void* const*>(trace.addresses), static_cast<int>(trace.count));
    if (lines == nullptr) return text;
    for (std::size_t i = 0; i < trace.count; ++i) (text += lines[i]) += '\n';
    std::free(lines);
    return text;
}

} // namespace

int main() {
    namespace calltrail = korvo::calltrail;
    const sample_trace trace = take_sample(route::through_libraries);
    const auto* frames = reinterpret_cast<const calltrail::frame*>(trace.addresses);
    // The peers start first: see render_bench.cpp.
    dwfl_peer dwfl;
#if CALLTRAIL_BENCH_HAVE_BACKWARD
    backward_peer backward;
    const std::string backward_text = backward.render(trace.addresses, trace.count);
#endif
    const std::string dwfl_text = dwfl.render(trace.addresses, trace.count);
    show("detail::to_string", calltrail::detail::to_string(frames, trace.count));
    const std::string name = frames[2].name();
    show("frame::name of frame 2", name.empty() ? name : name + "\n");
    show("plain libdwfl", dwfl_text);
#if CALLTRAIL_BENCH_HAVE_BACKWARD
    show("backward-cpp", backward_text);
#endif
    show("backtrace_symbols", backtrace_symbols_text(trace));
    return 0;
}
