#include "platform/posix/unwind/rule_cache.hpp"

namespace korvo {
namespace calltrail {
namespace posix_unwind {

namespace rule_cache_detail {
set sets[std::size_t{1} << set_bits];
} // namespace rule_cache_detail

void cache_rule(std::uintptr_t pc, std::uint64_t object_key, std::uint64_t rule) {
    using namespace rule_cache_detail;
    set& candidates = sets[set_index(pc)];
    // An empty way if there is one; otherwise one picked by other bits of
    // the address, so that addresses sharing a set spread over its ways.
    entry* chosen = &candidates.ways[(pc ^ (pc >> 12)) & (way_count - 1)];
    for (entry& e : candidates.ways) {
        if (e.check.load(std::memory_order_relaxed) == 0) {
            chosen = &e;
            break;
        }
    }
    // A reader that sees one store and not the other misses.
    const std::uint64_t check = (pc ^ object_key) ^ scatter(rule);
    chosen->check.store(check, std::memory_order_relaxed);
    chosen->rule.store(rule, std::memory_order_relaxed);
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
