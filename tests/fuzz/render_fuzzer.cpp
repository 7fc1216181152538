// Frames made from arbitrary 64-bit values, rendered by the real engine.
// Beyond not crashing, the exports must agree with each other: a trace has
// one numbered line per frame, the text of one frame is its line in the
// trace, and a frame's name, file and line are the pieces of that text.
//
// Input: one byte of options, then records of one kind byte and eight value
// bytes (little-endian). The kind places the value: as it is, or as an
// offset from code, stack or heap addresses of this process, where names and
// lines can be found and boundaries lie.
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t most_frames = 512;
constexpr std::size_t frames_asked_each = 4; // members cost a resolver each

[[noreturn]] void violated(const char* what, const std::string& detail) {
    std::fprintf(stderr, "violated: %s\n%s\n", what, detail.c_str());
    std::abort();
}

std::uint64_t read_value(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

std::uintptr_t near(const void* base, std::uint64_t value, std::uint64_t span) {
    const std::int64_t offset = static_cast<std::int64_t>(value % (2 * span)) - static_cast<std::int64_t>(span);
    return reinterpret_cast<std::uintptr_t>(base) + static_cast<std::uintptr_t>(offset);
}

std::string prefix_of(std::size_t position) { return (position < 10 ? " " : "") + std::to_string(position) + "# "; }

void check_members(const korvo::calltrail::frame& f, const std::string& text) {
    const std::string name = f.name();
    if (!name.empty() && text.compare(0, name.size(), name) != 0) violated("the text starts with the name", text);
    if (name.empty() && text.compare(0, 2, "0x") != 0) violated("an unnamed frame shows its address", text);
    const std::size_t head = name.empty() ? 18 : name.size();
    const std::string file = f.source_file();
    const std::size_t line = f.source_line();
    if (!file.empty() && line != 0) {
        const std::string tail = " at " + file + ":" + std::to_string(line);
        if (text.size() < tail.size() || text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
            violated("the text ends with file and line", text + "\nexpected tail:" + tail);
    } else if (text.find(" at ", head) != std::string::npos) {
        violated("no source tail without file and line", text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool ask_members = (data[0] & 1) != 0;
    ++data;
    --size;

    int local = 0;
    static const std::unique_ptr<char[]> heap(new char[4096]);
    std::vector<korvo::calltrail::frame> frames;
    for (; size >= 9 && frames.size() < most_frames; data += 9, size -= 9) {
        const std::uint64_t value = read_value(data + 1);
        std::uintptr_t address = 0;
        switch (data[0] % 5) {
        case 0:
            address = static_cast<std::uintptr_t>(value);
            break;
        case 1:
            address = near(reinterpret_cast<const void*>(&LLVMFuzzerTestOneInput), value, 1u << 23);
            break;
        case 2:
            address = near(reinterpret_cast<const void*>(&::write), value, 1u << 23);
            break;
        case 3:
            address = near(&local, value, 1u << 16);
            break;
        default:
            address = near(heap.get(), value, 1u << 20);
            break;
        }
        frames.emplace_back(reinterpret_cast<const void*>(address));
    }

    const std::string trace = korvo::calltrail::detail::to_string(frames.data(), frames.size());
    if (trace.empty()) {
        // Only an engine that cannot be had gives nothing for a frame.
        if (!frames.empty() && !korvo::calltrail::to_string(frames[0]).empty())
            violated("a trace is empty only without an engine", "");
        return 0;
    }
    if (frames.empty()) violated("no frames, no text", trace);

    std::size_t at = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::string prefix = prefix_of(i);
        if (trace.compare(at, prefix.size(), prefix) != 0) violated("each line begins with its position", trace);
        const std::size_t end = trace.find('\n', at);
        if (end == std::string::npos) violated("each line ends with a line feed", trace);
        const std::string text = trace.substr(at + prefix.size(), end - at - prefix.size());
        if (i < frames_asked_each) {
            if (korvo::calltrail::to_string(frames[i]) != text)
                violated("one frame's text is its line in the trace", text);
            if (ask_members) check_members(frames[i], text);
        }
        at = end + 1;
    }
    if (at != trace.size()) violated("nothing follows the last line", trace);
    return 0;
}
