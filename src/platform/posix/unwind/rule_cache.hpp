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
// share a cache line. An address's own entry lies in the page of sets of its
// 16 KiB of code, so that a process's first walks, which fault in
// every page they touch, touch few; the walk looks at that one entry first,
// and at the others of its set only where another address took it. An
// address whose set is full goes to an overflow set anywhere in the cache,
// so that a deep stack of small functions, or the same function in hundreds
// of libraries, stays cached.
constexpr unsigned way_count = 4;
constexpr unsigned set_bits = 11;
constexpr unsigned page_bits = 5;
constexpr unsigned chunk_bits = 14;
struct alignas(64) set {
    entry ways[way_count];
};
static_assert(sizeof(set) == 64 && sizeof(entry) == 16, "a set is a cache line");
constexpr unsigned entry_shift = 4;
constexpr unsigned set_shift = 6;
constexpr unsigned page_shift = 12;
static_assert(set_bits + set_shift == page_bits + page_shift, "the pages of sets make up the cache");
// Hidden, so that the walk reaches it without going through the GOT; aligned,
// so that each page of sets is one page of memory.
alignas(4096) extern set sets[std::size_t{1} << set_bits] __attribute__((visibility("hidden")));

// One odd constant for the hashes and the bijection, which the walk keeps in
// a register.
constexpr std::uint64_t mixer = 0x9e3779b97f4a7c15u;
// The entry within a page comes from bits 44 to 51 of the product (its set
// from the upper six): the top bits bunch return addresses 16 or 32 bytes
// apart into a few sets, as in a chain of functions of one size, while these
// spread such runs of any stride up to 256 bytes.
constexpr unsigned entry_in_page_bit = 44;

// Hashed one byte on (a return address rather than its call's), which the
// walk has before it has the lookup; each part lands in place by a shift and
// a mask, as the entry's byte offset, so that the walk's next frame waits on
// few instructions.
inline entry* entry_of(std::uintptr_t lookup) {
    const std::uintptr_t pc = lookup + 1;
    // Code 512 KiB apart shares a page; the entry within it still depends on
    // every bit of the address.
    const std::uintptr_t page =
        (pc >> (chunk_bits - page_shift)) & (((std::uintptr_t{1} << page_bits) - 1) << page_shift);
    const std::uintptr_t in_page = ((pc * mixer) >> (entry_in_page_bit - entry_shift)) &
                                   (((std::uintptr_t{1} << (page_shift - entry_shift)) - 1) << entry_shift);
    // The page's base apart, so that the entry is one addition after the
    // product: as the two fields do not overlap, the compiler would merge
    // them first and add the cache's base after.
    char* base = reinterpret_cast<char*>(sets) + page;
    __asm__("" : "+r"(base));
    return reinterpret_cast<entry*>(base + in_page);
}

inline std::uintptr_t set_holding(const entry* e) {
    return reinterpret_cast<std::uintptr_t>(e) & ~std::uintptr_t{sizeof(set) - 1};
}

// Any set for any address, from the top bits of the product, but for those
// of the page its own set is in, which is full.
inline set* overflow_set_of(std::uintptr_t lookup) {
    constexpr std::uintptr_t page_mask = ((std::uintptr_t{1} << page_bits) - 1) << page_shift;
    std::uintptr_t at =
        (((lookup + 1) * mixer) >> (64 - set_bits - set_shift)) & (((std::uintptr_t{1} << set_bits) - 1) << set_shift);
    const std::uintptr_t own =
        reinterpret_cast<std::uintptr_t>(entry_of(lookup)) - reinterpret_cast<std::uintptr_t>(sets);
    if (((at ^ own) & page_mask) == 0) at ^= std::uintptr_t{1} << page_shift;
    return reinterpret_cast<set*>(reinterpret_cast<char*>(sets) + at);
}

// A bijection: a rule read beside another entry's check matches only where
// the two entries agree.
inline std::uint64_t scatter(std::uint64_t rule) { return (rule + 1) * mixer; }

// Keys are return addresses (the lookup one byte on), which the walk holds.
inline bool holds(const entry& e, std::uintptr_t lookup, std::uint64_t salt, std::uint64_t& rule) {
    const std::uint64_t value = e.rule.load(std::memory_order_relaxed);
    if ((e.check.load(std::memory_order_relaxed) ^ scatter(value) ^ salt) != lookup + 1) return false;
    rule = value;
    return true;
}

// The rest of the set and the overflow set, out of the walk's loop: searching
// them there would take registers the loop needs. The rule comes back in
// registers, so that the loop's own stays in one.
struct found_rule {
    std::uint64_t rule;
    bool found;
};
found_rule find_elsewhere(const entry* first, std::uintptr_t lookup, std::uint64_t salt);

} // namespace rule_cache_detail

// Inline: the walk asks once per frame. `salt` is the epoch's.
__attribute__((always_inline)) inline bool find_cached_rule(std::uintptr_t lookup, std::uint64_t salt,
                                                            std::uint64_t& rule) {
    using namespace rule_cache_detail;
    const entry* first = entry_of(lookup);
    if (holds(*first, lookup, salt, rule)) return true;
    const found_rule other = find_elsewhere(first, lookup, salt);
    if (other.found) rule = other.rule;
    return other.found;
}

// Replaces what the cache held for the address in this epoch.
void cache_rule(std::uintptr_t pc, std::uint64_t salt, std::uint64_t rule);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
