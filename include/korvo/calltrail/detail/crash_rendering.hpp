#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_RENDERING_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_RENDERING_HPP

// The rendered part of a crash report: the raw part's frames with names,
// files and lines. It allocates and reads symbols, so it is a report's last
// act, bounded by the watchdog. Everything it shows comes from the raw part,
// so calltrail-symbolize can make it from that text instead, when asked
// (crash_out_of_process.hpp). Part of crash_handler.hpp.

#include <korvo/calltrail/detail/crash_frames.hpp>
#include <korvo/calltrail/detail/crash_text.hpp>
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace korvo {
namespace calltrail {
namespace crash_detail {

// An address as the library's traces show one without a name: 0x and 16
// upper-case digits.
struct address_text {
    char text[18];

    explicit address_text(std::uint64_t address) {
        text[0] = '0';
        text[1] = 'x';
        for (int i = 17; i >= 2; --i, address >>= 4) text[i] = "0123456789ABCDEF"[address & 0xf];
    }
};

// On POSIX the engine looks frames up one byte before their address, as
// return addresses are. A frame that holds its instruction is handed over one
// byte past it, so that the instruction itself is looked up. That byte may
// begin the next function when the instruction is one byte long and ends its
// own (ret, hlt, int3): then the two answers differ, and the instruction is
// handed over as it is, which names its function but shows the line of the
// byte before it. The Debug Engine of Windows looks up what it is given.
inline std::uintptr_t address_to_render(const report_frame& f) {
    if (!f.exact) return f.address;
#if defined(_WIN32)
    return f.lookup;
#else
    if (f.may_end_function && frame(reinterpret_cast<const void*>(f.lookup + 1)).name() !=
                                  frame(reinterpret_cast<const void*>(f.lookup)).name())
        return f.lookup;
    return f.lookup + 1;
#endif
}

// The name a repeat line gives its frame: the function's, or its address.
inline void write_frame_name(crash_line& line, std::uintptr_t rendered, std::uintptr_t shown) {
    const std::string name = frame(reinterpret_cast<const void*>(rendered)).name();
    if (!name.empty()) {
        line.escaped(name.data(), name.size(), false);
    } else {
        line.text(address_text(shown).text, 18);
    }
}

inline void write_rendered_section(const frame_section& section, const char* title) {
    crash_line().text("trace").text(title).text(":").end();
    frame frames[frame_section::capacity];
    std::uintptr_t rendered[frame_section::capacity];
    std::size_t count = 0;
    for (std::size_t i = 0; i < section.size(); ++i) {
        if (section[i].kind != section_entry::frame) continue;
        rendered[count] = address_to_render(section[i].at);
        frames[count] = frame(reinterpret_cast<const void*>(rendered[count]));
        ++count;
    }
    const std::string text = detail::to_string(frames, count);
    if (count > 0 && text.empty()) {
        crash_line().text("(no symbols could be read)").end();
        return;
    }
    // One line per frame, as the library renders a trace: cut each after
    // its "# ", and number it as the raw part does.
    const char* lines[frame_section::capacity];
    std::size_t sizes[frame_section::capacity];
    std::size_t found = 0;
    for (std::size_t at = 0; at < text.size() && found < count;) {
        const std::size_t end = text.find('\n', at);
        const std::size_t mark = text.find("# ", at);
        if (end == std::string::npos || mark == std::string::npos || mark > end) break;
        lines[found] = text.data() + mark + 2;
        sizes[found] = end - mark - 2;
        ++found;
        at = end + 1;
    }
    if (found != count) {
        crash_line().text("(the trace could not be rendered)").end();
        return;
    }
    std::size_t next = 0;
    std::uintptr_t previous_address = 0;
    for (std::size_t i = 0; i < section.size(); ++i) {
        const section_entry& e = section[i];
        crash_line line;
        if (e.kind == section_entry::frame) {
            previous_address = e.at.address;
            line.text(e.first < 10 ? " " : "").number(e.first).text("# ");
            if (rendered[next] != e.at.address && sizes[next] >= 18 &&
                std::memcmp(lines[next], address_text(rendered[next]).text, 18) == 0) {
                // A frame without a name shows the address the walk gave.
                line.text(address_text(e.at.address).text, 18).text(lines[next] + 18, sizes[next] - 18);
            } else {
                line.text(lines[next], sizes[next]);
            }
            ++next;
        } else if (e.kind == section_entry::not_shown) {
            line.text("    frames ").number(e.first).text("-").number(e.last).text(" not shown");
        } else {
            line.text("    frames ").number(e.first).text("-").number(e.last).text(" repeat ");
            const std::uint64_t frames_repeated = static_cast<std::uint64_t>(e.last) - e.first + 1;
            if (e.from == e.to) {
                // The repeated frame is listed just above.
                line.text("`");
                if (next > 0) write_frame_name(line, rendered[next - 1], previous_address);
                line.text("` x").number(frames_repeated);
            } else {
                line.text("frames ").number(e.from).text("-").number(e.to).text(" x");
                line.number(frames_repeated / (static_cast<std::uint64_t>(e.to) - e.from + 1));
            }
        }
        line.end();
    }
}

// The rendered part of a report, after its raw part: a trace for each of its
// raw frames sections ("raw frames of X" becomes "trace of X:").
inline void write_rendered_part(const frame_section* const* sections, const char* const* titles, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
#if KORVO_CALLTRAIL_CRASH_EXCEPTIONS
        try {
            write_rendered_section(*sections[i], titles[i]);
        } catch (...) {
            crash_line().text("(the trace could not be rendered)").end();
        }
#else
        // A failure to allocate ends the report through the new handler the
        // handler sets; nothing else is thrown in practice.
        write_rendered_section(*sections[i], titles[i]);
#endif
    }
}

} // namespace crash_detail
} // namespace calltrail
} // namespace korvo

#endif
