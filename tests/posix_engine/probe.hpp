#ifndef KORVO_CALLTRAIL_TESTS_POSIX_ENGINE_PROBE_HPP
#define KORVO_CALLTRAIL_TESTS_POSIX_ENGINE_PROBE_HPP

// Code under test records, at each call it makes on the way to a capture,
// the file and line of that call; the capture then takes the stack. Frame i
// above the capture belongs to the call recorded i-th from the innermost.

struct probe;
using probe_capture = void (*)(probe*);

struct probe {
    struct call {
        const char* file;
        int line;
    };
    static constexpr int most_calls = 16;
    static constexpr int most_frames = 64;

    probe_capture capture = nullptr;
    call calls[most_calls] = {};
    int depth = 0;
    void* frames[most_frames] = {};
    int frame_count = 0;

    void record(const char* file, int line) {
        if (depth < most_calls) calls[depth++] = call{file, line};
    }
    // The return address into the function that made the innermost-but-i
    // recorded call, and that call.
    const void* frame_of(int i) const { return i + 1 < frame_count ? frames[i + 1] : nullptr; }
    const call& call_of(int i) const { return calls[depth - 1 - i]; }
};

// Records the line of a call and makes it, in one expression on one line.
#define PROBE_CALL(p, call) ((p)->record(__FILE__, __LINE__), (call))

#endif
