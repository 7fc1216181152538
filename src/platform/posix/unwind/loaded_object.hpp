#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_LOADED_OBJECT_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_LOADED_OBJECT_HPP

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// A loaded object as the walk sees it: the span of its mappings, its unwind
// table, and a fingerprint that changes when another object takes its place.
// Plain data without initialisers: the walk keeps a few on its stack, and
// clearing them would cost a measurable share of a short walk.
struct loaded_object {
    std::uintptr_t start;
    std::uintptr_t end;
    const std::uint8_t* eh_frame_hdr;
    // Load address and build-id mixed; 0 when the object has no build-id, and
    // then its rules are never cached.
    std::uint64_t fingerprint;

    bool contains(std::uintptr_t address) const { return address >= start && address < end; }
};

// Signal-safe and lock-free: _dl_find_object never waits on the loader's
// lock, also when the code it interrupted holds it. Reads only the object's
// own headers.
bool find_loaded_object(std::uintptr_t address, loaded_object& object);

// This library, found once when it is loaded: every walk starts in it, and
// its rules leave the cache together with it. All zero before it is found.
extern loaded_object this_library __attribute__((visibility("hidden")));

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
