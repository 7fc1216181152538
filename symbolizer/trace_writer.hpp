#ifndef KORVO_CALLTRAIL_SYMBOLIZER_TRACE_WRITER_HPP
#define KORVO_CALLTRAIL_SYMBOLIZER_TRACE_WRITER_HPP

// The text of symbolized frames: by default exactly the library's numbered
// trace (and a crash report's rendered part), each inlined call on a line of
// its own with inlines, or one JSON object a line for tools.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "offline_symbolizer.hpp"
#include "report_input.hpp"

namespace korvo {
namespace calltrail {
namespace offline {

enum class output_style { trace, inlines, json };

class trace_writer {
public:
    // Appends to `out`, which the caller writes out when it likes.
    trace_writer(offline_symbolizer& symbolizer, output_style style, std::string& out);

    void frame(const raw_frame& f);
    // A frame looked up already.
    void frame(const raw_frame& f, const frame_answer& a) { frame_line(f, a, -1); }
    void report(const crash_report& report);

private:
    void frame_line(const raw_frame& f, const frame_answer& a, long section);
    void range_line(const section_line& line, long section);
    void json_frame(const raw_frame& f, const frame_answer& a, long section);

    offline_symbolizer& symbolizer_;
    output_style style_;
    std::string& out_;
    // The head of each frame of the section being written, for its repeat
    // lines.
    std::map<std::uint64_t, std::string> heads_;
};

// The text of one frame as the library's render_frame makes it: the
// function's name or the address, then " at FILE:LINE" or " in MODULE".
void append_frame_text(std::string& out, std::uint64_t address, std::string_view function, std::string_view file,
                       std::uint32_t line, std::string_view module);

} // namespace offline
} // namespace calltrail
} // namespace korvo

#endif
