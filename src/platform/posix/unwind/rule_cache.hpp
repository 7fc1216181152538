#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_RULE_CACHE_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_RULE_CACHE_HPP

// A process-wide cache of packed unwind rules keyed by code address and the
// fingerprint of the object holding it, so that an object loaded where an
// unloaded one was never meets its predecessor's rules.
//
// Signal-safe and lock-free: each slot is a sequence lock that readers never
// wait on and writers never wait for. No thread-local storage, which a
// library loaded with dlopen may have to allocate.

#include "platform/posix/unwind/seqlock.hpp"

#include <cstddef>
#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

namespace rule_cache_detail {

enum : unsigned { key_word, fingerprint_word, rule_word, word_count };
using slot = seqlock_slot<word_count>;

// 8,192 slots (256 KiB, touched only where used) in sets of four, so that
// the return addresses of a stack of thousands of frames through hundreds of
// libraries rarely push each other out.
constexpr unsigned way_count = 4;
constexpr unsigned set_bits = 11;
struct alignas(128) set {
    slot ways[way_count];
};
// Hidden, so that the walk reaches it without going through the GOT.
extern set sets[std::size_t{1} << set_bits] __attribute__((visibility("hidden")));

// Every bit of the address counts: the same function in many libraries
// loaded at page boundaries differs only in the high bits.
inline std::size_t set_index(std::uintptr_t pc) {
    return static_cast<std::size_t>((pc * 0x9e3779b97f4a7c15u) >> (64 - set_bits));
}
inline set& set_for(std::uintptr_t pc) { return sets[set_index(pc)]; }

} // namespace rule_cache_detail

// Inline: the walk asks once per frame.
inline bool find_cached_rule(std::uintptr_t pc, std::uint64_t fingerprint, std::uint64_t& rule) {
    using namespace rule_cache_detail;
    for (const slot& s : set_for(pc).ways) {
        std::uint64_t words[word_count];
        if (s.read(words) && words[key_word] == pc && words[fingerprint_word] == fingerprint) {
            rule = words[rule_word];
            return true;
        }
    }
    return false;
}

void cache_rule(std::uintptr_t pc, std::uint64_t fingerprint, std::uint64_t rule);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
