#ifndef KORVO_CALLTRAIL_ENGINE_ENGINE_TEXT_HPP
#define KORVO_CALLTRAIL_ENGINE_ENGINE_TEXT_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "escaped_text.hpp"
#include "platform/platform.hpp"

namespace korvo {
namespace calltrail {

// Most names and paths fit, so the first try costs no allocation.
constexpr ULONG first_try_size = 256;

inline ULONG64 engine_offset(const void* address) noexcept {
    return static_cast<ULONG64>(reinterpret_cast<std::uintptr_t>(address));
}

// A text the engine wrote: into the first-try buffer on the stack, or into a
// string of the size the engine asked for. Rendering reads it in place, so
// that a frame's text is copied once, into the trace.
class engine_text {
public:
    // A text that goes into a trace is checked for control characters as its
    // end is found.
    explicit engine_text(bool for_trace = false) noexcept : for_trace_(for_trace) { first_try_[0] = '\0'; }
    engine_text(const engine_text&) = delete;
    engine_text& operator=(const engine_text&) = delete;

    char* first_try() noexcept { return first_try_; }
    // Storage of the size asked for; whatever the first try left is dropped.
    std::string& grown(ULONG size) {
        grown_.resize(size);
        return grown_;
    }

    // What the engine wrote up to its NUL, bounded, so that a missing
    // terminator cannot run past the storage. The size the engine asks for
    // counts its NUL; the text does not. The size it reported with the first
    // try says where to look for the NUL, so that no byte past what it wrote
    // is read; the text is still what lies before the first NUL.
    void keep_first_try(ULONG reported) noexcept {
        const bool hinted = reported != 0 && reported <= first_try_size && first_try_[reported - 1] == '\0';
        const std::size_t size = hinted ? reported : first_try_size;
        if (for_trace_ && hinted) {
            // The NUL is a control character too: one pass finds where the
            // text ends and whether it holds any other.
            const std::size_t first = first_control_byte(first_try_, size);
            if (first_try_[first] == '\0') {
                text_ = std::string_view(first_try_, first);
                clean_ = cleanliness::clean;
                return;
            }
        }
        keep(first_try_, size);
    }
    void keep_grown() noexcept { keep(grown_.data(), grown_.size()); }
    std::string_view text() const noexcept { return text_; }
    // Whether the text holds no control character, which it nearly never
    // does: then it goes into a trace as it is.
    bool clean() const noexcept {
        if (clean_ == cleanliness::unknown)
            clean_ = first_control_byte(text_.data(), text_.size()) == text_.size() ? cleanliness::clean
                                                                                    : cleanliness::dirty;
        return clean_ == cleanliness::clean;
    }

private:
    enum class cleanliness : unsigned char { unknown, clean, dirty };

    void keep(const char* data, std::size_t size) noexcept {
        const void* nul = std::memchr(data, '\0', size);
        text_ = std::string_view(data, nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - data)
                                                      : size);
        clean_ = cleanliness::unknown;
    }

    char first_try_[first_try_size];
    std::string grown_;
    std::string_view text_;
    mutable cleanliness clean_ = cleanliness::unknown;
    bool for_trace_;
};

// A symbol text split at its first "!": the module before it, the function
// after it; a text without one names a module alone.
struct symbol_parts {
    std::string_view module;
    std::string_view function;
};

inline symbol_parts split_symbol_text(std::string_view text) noexcept {
    const std::string_view::size_type bang = text.find('!');
    if (bang == std::string_view::npos) return symbol_parts{text, std::string_view()};
    return symbol_parts{text.substr(0, bang), text.substr(bang + 1)};
}

} // namespace calltrail
} // namespace korvo

#endif
