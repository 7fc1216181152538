#ifndef KORVO_CALLTRAIL_FRAME_HPP
#define KORVO_CALLTRAIL_FRAME_HPP

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

#include <korvo/calltrail/export.hpp>

// The libraries return std::string in the C++11 ABI; a program built with the
// old one would only fail at link time, on every text operation.
#if defined(_GLIBCXX_USE_CXX11_ABI) && !_GLIBCXX_USE_CXX11_ABI
#error "calltrail needs the C++11 std::string ABI: build without -D_GLIBCXX_USE_CXX11_ABI=0"
#endif

namespace korvo {
namespace calltrail {

// One captured code address. Every member that produces text resolves the
// address afresh: a frame caches nothing and is as cheap to copy as a pointer.
class frame {
public:
    constexpr frame() noexcept = default;
    constexpr explicit frame(const void* code_address) noexcept : address_(code_address) {}

    constexpr const void* code_address() const noexcept { return address_; }

    // Empty text or 0 when nothing is known. Each call opens its own symbol
    // session; render whole traces with detail::to_string instead.
    KORVO_CALLTRAIL_API std::string name() const;
    KORVO_CALLTRAIL_API std::string source_file() const;
    KORVO_CALLTRAIL_API std::size_t source_line() const;

    friend bool operator==(const frame& a, const frame& b) noexcept { return a.address_ == b.address_; }
    friend bool operator!=(const frame& a, const frame& b) noexcept { return a.address_ != b.address_; }
    // std::less gives pointers a total order even across unrelated objects.
    friend bool operator<(const frame& a, const frame& b) noexcept {
        return std::less<const void*>()(a.address_, b.address_);
    }
    friend bool operator>(const frame& a, const frame& b) noexcept { return b < a; }
    friend bool operator<=(const frame& a, const frame& b) noexcept { return !(b < a); }
    friend bool operator>=(const frame& a, const frame& b) noexcept { return !(a < b); }

private:
    const void* address_ = nullptr;
};

// detail::to_string reads an array of frames as an array of addresses.
static_assert(sizeof(frame) == sizeof(const void*), "a frame is exactly one address wide");

// The text of one frame, without position or line feed; empty when symbols
// cannot be had at all.
KORVO_CALLTRAIL_API std::string to_string(const frame& f);

inline std::ostream& operator<<(std::ostream& os, const frame& f) { return os << to_string(f); }

} // namespace calltrail
} // namespace korvo

namespace std {
template <> struct hash<korvo::calltrail::frame> {
    std::size_t operator()(const korvo::calltrail::frame& f) const noexcept {
        return std::hash<const void*>()(f.code_address());
    }
};
} // namespace std

#endif
