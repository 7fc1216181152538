#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_EH_FRAME_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_EH_FRAME_HPP

#include "platform/posix/unwind/loaded_object.hpp"

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// The frame description covering one address, with its CIE decoded: the two
// CFA programs to run and what they need to be read.
struct frame_description {
    std::uintptr_t pc_begin = 0;
    std::uintptr_t pc_end = 0;
    const std::uint8_t* initial_program = nullptr; // the CIE's
    const std::uint8_t* initial_program_end = nullptr;
    const std::uint8_t* program = nullptr; // the FDE's
    const std::uint8_t* program_end = nullptr;
    std::uint64_t code_alignment = 1;
    std::int64_t data_alignment = 0;
    std::uint32_t return_address_register = 0;
    bool signal_frame = false; // 'S': the frame of a signal trampoline
};

// Signal-safe: a binary search of the object's .eh_frame_hdr table, then the
// FDE and its CIE, every read bounded by the object's span.
bool find_frame_description(const loaded_object& object, std::uintptr_t pc, frame_description& found);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
