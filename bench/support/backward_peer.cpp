#define BACKWARD_HAS_DW 1
#include <backward.hpp>

#include "backward_peer.hpp"
#include "trace_text.hpp"

namespace calltrail_bench {

struct backward_peer::state {
    backward::TraceResolver resolver;
};

backward_peer::backward_peer() : state_(new state) {}

backward_peer::~backward_peer() = default;

std::string backward_peer::render(const void* const* addresses, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const backward::ResolvedTrace trace =
            state_->resolver.resolve(backward::ResolvedTrace(backward::Trace(const_cast<void*>(addresses[i]), i)));
        append_trace_line(text, i, addresses[i], trace.object_function.c_str(), trace.source.filename.c_str(),
                          trace.source.line, file_name_of(trace.object_filename.c_str()));
    }
    return text;
}

std::size_t backward_peer::capture(const void** out, std::size_t count) {
    backward::StackTrace trace;
    trace.load_here(count);
    const std::size_t got = trace.size() < count ? trace.size() : count;
    for (std::size_t i = 0; i < got; ++i) out[i] = trace[i].addr;
    return got;
}

} // namespace calltrail_bench
