#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_BUFFER_TEXT_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_BUFFER_TEXT_HPP

// How the Debug Engine hands out a text: the size counts the NUL; a null
// buffer only asks for the size; a buffer too small gets as much as fits,
// terminated, and S_FALSE; nothing found is a failure with size 0.

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "platform/platform.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

inline HRESULT copy_out(std::initializer_list<std::string_view> pieces, PSTR buffer, ULONG buffer_size, PULONG size) {
    std::size_t length = 0;
    for (const std::string_view& piece : pieces) length += piece.size();
    if (length >= 0xffffffffu) return E_FAIL;
    if (size != nullptr) *size = static_cast<ULONG>(length + 1);
    if (buffer == nullptr) return S_OK;
    if (buffer_size == 0) return S_FALSE;
    std::size_t room = buffer_size - 1;
    char* at = buffer;
    for (const std::string_view& piece : pieces) {
        const std::size_t n = piece.size() < room ? piece.size() : room;
        if (n != 0) std::memcpy(at, piece.data(), n);
        at += n;
        room -= n;
    }
    *at = '\0';
    return length < buffer_size ? S_OK : S_FALSE;
}

// Nothing found: no text, size 0.
inline HRESULT nothing_out(HRESULT failure, PSTR buffer, ULONG buffer_size, PULONG size) {
    if (size != nullptr) *size = 0;
    if (buffer != nullptr && buffer_size != 0) buffer[0] = '\0';
    return failure;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
