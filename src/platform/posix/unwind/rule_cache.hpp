#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_RULE_CACHE_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_RULE_CACHE_HPP

// A process-wide cache of unwind rules keyed by code address and the
// directory's epoch; each rule carries the index of the object it was read
// from, which the walk checks once against the objects loaded now, so that
// an object loaded where an unloaded one was never meets its predecessor's
// rules.
//
// Signal-safe and lock-free: each entry is two atomic words, the rule and its
// key mixed with the rule, written and read without any order between them.
// A reader that meets a half-written entry finds a key that matches no
// address and misses; a writer never waits. No thread-local storage, which a
// library loaded with dlopen may have to allocate.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "entries must be usable from signal handlers");

namespace rule_cache_detail {

struct entry {
    std::atomic<std::uint64_t> check; // key ^ scatter(rule); 0 while never written, which no key meets
    std::atomic<std::uint64_t> rule;
};

// 8,192 entries (128 KiB, touched only where used) in sets of four that
// share a cache line, so that the return addresses of a stack of thousands
// of frames through hundreds of libraries rarely push each other out.
constexpr unsigned way_count = 4;
constexpr unsigned set_bits = 11;
struct alignas(64) set {
    entry ways[way_count];
};
static_assert(sizeof(set) == 64, "a set is a cache line");
// Hidden, so that the walk reaches it without going through the GOT.
extern set sets[std::size_t{1} << set_bits] __attribute__((visibility("hidden")));

// Every bit of the address counts: the same function in many libraries
// loaded at page boundaries differs only in the high bits, which reach the
// top bits of the product the set is taken from.
// One odd constant for the hashes and the bijection, which the walk keeps in
// a register.
constexpr std::uint64_t mixer = 0x9e3779b97f4a7c15u;
// Hashed one byte on (a return address rather than its call's), which the
// walk has before it has the lookup; it lands in place by a shift and a
// mask, as the set's byte offset, so that the walk's next frame waits on few
// instructions.
inline set* set_of(std::uintptr_t lookup) {
    const std::uintptr_t pc = lookup + 1;
    constexpr unsigned set_shift = 6; // sizeof(set)
    // Any set for any address: return addresses a few bytes apart, as in a
    // deep stack of small functions, would overfill the sets of one region.
    const std::uintptr_t at =
        ((pc * mixer) >> (64 - set_bits - set_shift)) & (((std::uintptr_t{1} << set_bits) - 1) << set_shift);
    return reinterpret_cast<set*>(reinterpret_cast<char*>(sets) + at);
}

// A bijection: a rule read beside another entry's check matches only where
// the two entries agree.
inline std::uint64_t scatter(std::uint64_t rule) { return (rule + 1) * mixer; }

} // namespace rule_cache_detail

// The ways after the first, apart: the loop over them would take a register
// the walk needs.
inline bool find_in_other_ways(const rule_cache_detail::entry* way, std::uintptr_t pc, std::uint64_t salt,
                               std::uint64_t& rule) {
    using namespace rule_cache_detail;
    for (unsigned i = 1; i < way_count; ++i) {
        const std::uint64_t value = way[i].rule.load(std::memory_order_relaxed);
        if ((way[i].check.load(std::memory_order_relaxed) ^ scatter(value) ^ salt) == pc) {
            rule = value;
            return true;
        }
    }
    return false;
}

// Inline: the walk asks once per frame. `salt` is the epoch's.
inline bool find_cached_rule(std::uintptr_t pc, std::uint64_t salt, std::uint64_t& rule) {
    using namespace rule_cache_detail;
    const entry* way = set_of(pc)->ways;
    const std::uint64_t value = way->rule.load(std::memory_order_relaxed);
    if ((way->check.load(std::memory_order_relaxed) ^ scatter(value) ^ salt) != pc)
        return find_in_other_ways(way, pc, salt, rule);
    rule = value;
    return true;
}

// Replaces what the cache held for the address in this epoch.
void cache_rule(std::uintptr_t pc, std::uint64_t salt, std::uint64_t rule);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
