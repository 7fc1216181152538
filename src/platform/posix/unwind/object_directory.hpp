#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_OBJECT_DIRECTORY_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_OBJECT_DIRECTORY_HPP

// The loaded objects the walks have met, process-wide, each identified once
// and known by a small index that the cached rules carry. A walk checks each
// record it meets once, against the object loaded now (_dl_find_object, then
// the object's name, unwind table and build-id), and marks it in a bitmap on
// its own stack: later frames in that object cost a bit test.
//
// Records are written once and never change while their epoch lasts. When
// the directory is full a new epoch begins: records are handed out again,
// and rules cached in the old epoch no longer match any lookup (the epoch is
// part of their key), so an index never names two objects to one walk.
//
// Signal-safe and lock-free: records are seqlock slots nobody waits on, no
// thread-local storage, nothing allocated.

#include "platform/posix/unwind/loaded_object.hpp"

#include <atomic>
#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

constexpr unsigned directory_bits = 10;
constexpr std::uint32_t directory_size = std::uint32_t{1} << directory_bits;
// An object found but not recorded (the directory was being reset, or
// another thread was writing the same record): its rules are not cached.
constexpr std::uint32_t no_record = directory_size;

namespace directory_detail {
// Hidden, so that a walk reaches them without going through the GOT.
extern std::atomic<std::uint64_t> epoch __attribute__((visibility("hidden")));
// The records of objects that stay loaded as long as this library (itself,
// the program, the loader, the C and C++ runtimes) come first and are never
// checked.
extern std::uint32_t permanent_count __attribute__((visibility("hidden")));
} // namespace directory_detail

// What one walk has checked: the records it found still true, in the epoch
// it began in.
struct checked_objects {
    std::uint64_t epoch;
    std::uint64_t bits[directory_size / 64];

    // The walk asks for every frame. A word's load, shift and mask: a bit
    // test with a register offset into memory is microcoded on x86-64 and
    // took half of a cached walk.
    bool has(std::uint64_t index) const { return (bits[index / 64] >> (index % 64) & 1) != 0; }
    void add(std::uint32_t index) { bits[index / 64] |= std::uint64_t{1} << (index % 64); }

    void begin() {
        epoch = directory_detail::epoch.load(std::memory_order_acquire);
        for (std::uint64_t& word : bits) word = 0;
        bits[0] = (std::uint64_t{1} << directory_detail::permanent_count) - 1;
    }

    // Mixed into the keys of cached rules: each epoch has its own.
    std::uint64_t salt() const { return epoch * 0xff51afd7ed558ccdu; }
};

// Whether record `index` still describes the object loaded where the call
// before `return_address` is (which its cached rules say it holds); marks it
// checked when it does.
bool check_object(checked_objects& checked, std::uint32_t index, std::uintptr_t return_address);

// The loaded object holding `address` and its record, found or made and
// marked checked; `index` is no_record where none could be kept. False where
// no loaded object holds the address.
bool identify_object(checked_objects& checked, std::uintptr_t address, loaded_object& object, std::uint32_t& index);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
