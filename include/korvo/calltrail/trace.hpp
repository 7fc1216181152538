#ifndef KORVO_CALLTRAIL_TRACE_HPP
#define KORVO_CALLTRAIL_TRACE_HPP

// basic_trace<N>: a captured stack kept as a value. Capturing fills at most N
// frames held inside the object: no allocation, no lock, usable in a signal
// handler once the thread has captured before. Symbols are looked up only when
// the trace is rendered, all frames under one symbol session. Header-only, so
// it adds nothing to the library's exports.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

// Captures skip their own frame, which only exists if they stay out of line.
#if !defined(KORVO_CALLTRAIL_NOINLINE)
#if defined(_MSC_VER)
#define KORVO_CALLTRAIL_NOINLINE __declspec(noinline)
#else
#define KORVO_CALLTRAIL_NOINLINE __attribute__((noinline))
#endif
#endif

namespace korvo {
namespace calltrail {

constexpr std::size_t default_trace_depth = 64;

template <std::size_t MaxFrames> class basic_trace {
    static_assert(MaxFrames > 0, "a trace holds at least one frame");

public:
    using value_type = frame;
    using size_type = std::size_t;
    using const_iterator = const frame*;
    using iterator = const_iterator;

    // An empty trace.
    basic_trace() noexcept : size_(0) {}

    // The first min(count, MaxFrames) of the given frames.
    basic_trace(const frame* frames, std::size_t count) noexcept : size_(count < MaxFrames ? count : MaxFrames) {
        std::copy(frames, frames + size_, frames_);
    }

    // The calling thread's stack, innermost first: frame 0 is the function
    // that called current, and skip passes over that many more callers.
    // Frames past MaxFrames are dropped. Empty with the no-op library.
    KORVO_CALLTRAIL_NOINLINE static basic_trace current(std::size_t skip = 0) noexcept {
        const void* addresses[MaxFrames];
        // 2: collect's own frame and this one.
        const std::size_t count = detail::this_thread_frames::collect(addresses, MaxFrames, skip + 2);
        basic_trace captured;
        for (std::size_t i = 0; i < count; ++i) captured.frames_[i] = frame(addresses[i]);
        captured.size_ = count;
        return captured;
    }

    const_iterator begin() const noexcept { return frames_; }
    const_iterator end() const noexcept { return frames_ + size_; }
    const frame* data() const noexcept { return frames_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    static std::size_t max_size() noexcept { return MaxFrames; }
    // No bounds check, as for a built-in array.
    const frame& operator[](std::size_t i) const noexcept { return frames_[i]; }

    friend bool operator==(const basic_trace& a, const basic_trace& b) noexcept {
        return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
    }
    friend bool operator!=(const basic_trace& a, const basic_trace& b) noexcept { return !(a == b); }
    // Frame by frame, a trace that is a prefix of another first.
    friend bool operator<(const basic_trace& a, const basic_trace& b) noexcept {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
    }
    friend bool operator>(const basic_trace& a, const basic_trace& b) noexcept { return b < a; }
    friend bool operator<=(const basic_trace& a, const basic_trace& b) noexcept { return !(b < a); }
    friend bool operator>=(const basic_trace& a, const basic_trace& b) noexcept { return !(a < b); }

private:
    std::size_t size_;
    frame frames_[MaxFrames];
};

using trace = basic_trace<default_trace_depth>;

// The numbered text of every frame, as detail::to_string renders it; empty
// when symbols cannot be had at all.
template <std::size_t MaxFrames> std::string to_string(const basic_trace<MaxFrames>& t) {
    return detail::to_string(t.data(), t.size());
}

template <std::size_t MaxFrames> std::ostream& operator<<(std::ostream& os, const basic_trace<MaxFrames>& t) {
    return os << to_string(t);
}

} // namespace calltrail
} // namespace korvo

namespace std {
template <std::size_t MaxFrames> struct hash<korvo::calltrail::basic_trace<MaxFrames>> {
    std::size_t operator()(const korvo::calltrail::basic_trace<MaxFrames>& t) const noexcept {
        std::size_t h = t.size();
        for (const korvo::calltrail::frame& f : t)
            h ^= std::hash<korvo::calltrail::frame>()(f) + static_cast<std::size_t>(0x9E3779B97F4A7C15ULL) + (h << 6) +
                 (h >> 2);
        return h;
    }
};
} // namespace std

#endif
