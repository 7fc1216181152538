#ifndef CALLTRAIL_BENCH_BACKWARD_PEER_HPP
#define CALLTRAIL_BENCH_BACKWARD_PEER_HPP

#include <cstddef>
#include <memory>
#include <string>

namespace calltrail_bench {

// backward-cpp's resolver over libdw, kept for the session's life as its
// Printer keeps it.
class backward_peer {
public:
    backward_peer();
    ~backward_peer();
    backward_peer(const backward_peer&) = delete;
    backward_peer& operator=(const backward_peer&) = delete;

    std::string render(const void* const* addresses, std::size_t count);

    // backward's own capture, as its users take it.
    static std::size_t capture(const void** out, std::size_t count);

private:
    struct state;
    std::unique_ptr<state> state_;
};

} // namespace calltrail_bench

#endif
