#include "platform/posix/unwind/rule_cache.hpp"

namespace korvo {
namespace calltrail {
namespace posix_unwind {

namespace rule_cache_detail {
set sets[std::size_t{1} << set_bits];
} // namespace rule_cache_detail

void cache_rule(std::uintptr_t pc, std::uint64_t fingerprint, std::uint64_t rule) {
    using namespace rule_cache_detail;
    set& candidates = set_for(pc);
    // An empty way if there is one; otherwise one picked by other bits of
    // the address, so that addresses sharing a set spread over its ways.
    slot* chosen = &candidates.ways[(pc ^ (pc >> 12)) & (way_count - 1)];
    for (slot& s : candidates.ways) {
        if (s.empty()) {
            chosen = &s;
            break;
        }
    }
    chosen->write({pc, fingerprint, rule});
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
