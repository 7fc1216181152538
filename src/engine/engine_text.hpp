#ifndef KORVO_CALLTRAIL_ENGINE_ENGINE_TEXT_HPP
#define KORVO_CALLTRAIL_ENGINE_ENGINE_TEXT_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.hpp"

namespace korvo {
namespace calltrail {

// Most names and paths fit, so the first try costs no allocation.
constexpr ULONG first_try_size = 256;

inline ULONG64 engine_offset(const void* address) noexcept {
    return static_cast<ULONG64>(reinterpret_cast<std::uintptr_t>(address));
}

// What the engine wrote into a buffer of its own, up to its NUL; bounded, so a
// missing terminator cannot run past the buffer.
inline std::string text_before_nul(const char* buffer, std::size_t size) {
    return std::string(buffer, std::find(buffer, buffer + size, '\0'));
}

// The size the engine asks for counts its terminating NUL; the text does not.
inline void end_at_first_nul(std::string& text) {
    const std::string::size_type nul = text.find('\0');
    if (nul != std::string::npos) text.erase(nul);
}

} // namespace calltrail
} // namespace korvo

#endif
