#ifndef CALLTRAIL_BENCH_DWFL_PEER_HPP
#define CALLTRAIL_BENCH_DWFL_PEER_HPP

#include <cstddef>
#include <string>

struct Dwfl;

namespace calltrail_bench {

// elfutils libdwfl used the straightforward way: one Dwfl for the whole
// process, reported from /proc, kept for the session's life; each frame asks
// dwfl_module_addrname and dwfl_module_getsrc.
class dwfl_peer {
public:
    dwfl_peer();
    ~dwfl_peer();
    dwfl_peer(const dwfl_peer&) = delete;
    dwfl_peer& operator=(const dwfl_peer&) = delete;

    bool ready() const { return dwfl_ != nullptr; }
    std::string render(const void* const* addresses, std::size_t count) const;

private:
    Dwfl* dwfl_ = nullptr;
};

} // namespace calltrail_bench

#endif
