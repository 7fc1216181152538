#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_LOADED_OBJECT_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_LOADED_OBJECT_HPP

#include <cstdint>

struct link_map;

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// A loaded object as the walk sees it: the span of its mappings and its
// unwind table. Plain data without initialisers: the walk keeps one on its
// stack, and clearing it would cost a share of a short walk.
struct loaded_object {
    std::uintptr_t start;
    std::uintptr_t end;
    std::uintptr_t load_bias;
    const std::uint8_t* eh_frame_hdr;

    bool contains(std::uintptr_t address) const { return address >= start && address < end; }
};

// Signal-safe and lock-free: _dl_find_object never waits on the loader's
// lock, also when the code it interrupted holds it. Gives the loader's own
// record of the object too.
bool find_loaded_object(std::uintptr_t address, loaded_object& object, const link_map*& map);

// Whether [address, address + size) is code of the object: inside one of its
// executable segments. Reads only the object's own headers.
bool executable_code(const loaded_object& object, std::uintptr_t address, std::uintptr_t size);

// Where the object's GNU build-id note is, 0 where it has none. Reads only
// the object's own headers and notes.
std::uintptr_t build_id_note(const loaded_object& object);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
