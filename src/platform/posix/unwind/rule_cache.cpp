#include "platform/posix/unwind/rule_cache.hpp"

namespace korvo {
namespace calltrail {
namespace posix_unwind {

namespace rule_cache_detail {

alignas(4096) set sets[std::size_t{1} << set_bits];

namespace {

bool full(const set& s) {
    for (const entry& e : s.ways)
        if (e.check.load(std::memory_order_relaxed) == 0) return false;
    return true;
}

bool find_in(const set& s, const entry* skipped, std::uintptr_t lookup, std::uint64_t salt, std::uint64_t& rule) {
    for (const entry& e : s.ways)
        if (&e != skipped && holds(e, lookup, salt, rule)) return true;
    return false;
}

// The way of a set that holds the key already (a rule of an object unloaded
// since, which would otherwise be met first), else the preferred one if it
// is empty, else the first empty one.
entry* way_for(set& s, entry* preferred, std::uint64_t key) {
    entry* empty = nullptr;
    for (entry& e : s.ways) {
        const std::uint64_t check = e.check.load(std::memory_order_relaxed);
        if ((check ^ scatter(e.rule.load(std::memory_order_relaxed))) == key) return &e;
        if (check == 0 && (empty == nullptr || &e == preferred)) empty = &e;
    }
    return empty;
}

} // namespace

// Entries are never emptied, so an address is in its overflow set only
// where its own set is full.
found_rule find_elsewhere(const entry* first, std::uintptr_t lookup, std::uint64_t salt) {
    found_rule result{0, false};
    const set& own = *reinterpret_cast<const set*>(set_holding(first));
    result.found = find_in(own, first, lookup, salt, result.rule) ||
                   (full(own) && find_in(*overflow_set_of(lookup), nullptr, lookup, salt, result.rule));
    return result;
}

} // namespace rule_cache_detail

void cache_rule(std::uintptr_t lookup, std::uint64_t salt, std::uint64_t rule) {
    using namespace rule_cache_detail;
    const std::uint64_t key = (lookup + 1) ^ salt;
    entry* preferred = entry_of(lookup);
    entry* chosen = way_for(*reinterpret_cast<set*>(set_holding(preferred)), preferred, key);
    // A full set sends the address to its overflow set, where a full set
    // gives up a way picked by other bits of the address, so that addresses
    // sharing it spread over its ways.
    if (chosen == nullptr) {
        set& overflow = *overflow_set_of(lookup);
        chosen = way_for(overflow, nullptr, key);
        if (chosen == nullptr) chosen = &overflow.ways[(lookup ^ (lookup >> 12)) & (way_count - 1)];
    }
    // A reader that sees one store and not the other misses.
    chosen->check.store(key ^ scatter(rule), std::memory_order_relaxed);
    chosen->rule.store(rule, std::memory_order_relaxed);
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
