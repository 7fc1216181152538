#include "platform/posix/unwind/rule_cache.hpp"

namespace korvo {
namespace calltrail {
namespace posix_unwind {

namespace rule_cache_detail {
set sets[std::size_t{1} << set_bits];
} // namespace rule_cache_detail

void cache_rule(std::uintptr_t pc, std::uint64_t salt, std::uint64_t rule) {
    using namespace rule_cache_detail;
    const std::uint64_t key = pc ^ salt;
    set& candidates = *set_of(pc);
    // The way that holds the address already (a rule of an object unloaded
    // since, which would otherwise be met first), else an empty one, else one
    // picked by other bits of the address, so that addresses sharing a set
    // spread over its ways.
    entry* chosen = nullptr;
    entry* empty = nullptr;
    for (entry& e : candidates.ways) {
        const std::uint64_t check = e.check.load(std::memory_order_relaxed);
        if ((check ^ scatter(e.rule.load(std::memory_order_relaxed))) == key) chosen = &e;
        if (check == 0 && empty == nullptr) empty = &e;
    }
    if (chosen == nullptr) chosen = empty != nullptr ? empty : &candidates.ways[(pc ^ (pc >> 12)) & (way_count - 1)];
    // A reader that sees one store and not the other misses.
    chosen->check.store(key ^ scatter(rule), std::memory_order_relaxed);
    chosen->rule.store(rule, std::memory_order_relaxed);
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
