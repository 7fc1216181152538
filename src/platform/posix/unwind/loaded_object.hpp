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
    std::uintptr_t load_bias;
    const std::uint8_t* eh_frame_hdr;
    // Load address, build-id, file name and samples of the unwind table
    // mixed: an object loaded where another was, even one with the same
    // build-id, has another. Never 0.
    std::uint64_t fingerprint;

    bool contains(std::uintptr_t address) const { return address >= start && address < end; }
};

// Signal-safe and lock-free: _dl_find_object never waits on the loader's
// lock, also when the code it interrupted holds it. Reads only the object's
// own headers.
bool find_loaded_object(std::uintptr_t address, loaded_object& object);

// Whether [address, address + size) is code of the object: inside one of its
// executable segments. Reads only the object's own headers.
bool executable_code(const loaded_object& object, std::uintptr_t address, std::uintptr_t size);

// Objects that cannot be unloaded while this library is loaded, found once
// when it is loaded: itself (where every walk starts), the program, the
// loader and the libraries this one depends on. Walks need not look them up.
constexpr unsigned most_permanent_objects = 6;
extern loaded_object permanent_objects[most_permanent_objects] __attribute__((visibility("hidden")));
extern unsigned permanent_object_count __attribute__((visibility("hidden")));

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
