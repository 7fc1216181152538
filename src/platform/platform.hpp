#ifndef KORVO_CALLTRAIL_PLATFORM_HPP
#define KORVO_CALLTRAIL_PLATFORM_HPP

// The one boundary between the engine and the system: the Windows kernel's
// stack walker, the COM runtime and the Debug Engine. Elsewhere the same names
// come from our own stand-ins, so engine code is written once.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <dbgeng.h>
#else
#include "platform/posix/windows.hpp"
#endif

namespace korvo {
namespace calltrail {
namespace platform {

// Defined here rather than taken from an import library, so that every build
// of the engine names the interfaces the same way.
constexpr IID iid_debug_client = {0x27fe5639, 0x8407, 0x4f47, {0x83, 0x64, 0xee, 0x11, 0x8f, 0xb0, 0x8a, 0xc8}};
constexpr IID iid_debug_control = {0x5182e668, 0x105e, 0x416e, {0xad, 0x92, 0x24, 0xef, 0x80, 0x04, 0x24, 0xba}};
constexpr IID iid_debug_symbols = {0x8c31e98c, 0x983a, 0x48a5, {0x90, 0x16, 0x6f, 0xe5, 0xd6, 0x67, 0xa9, 0x50}};

} // namespace platform
} // namespace calltrail
} // namespace korvo

#endif
