#ifndef KORVO_CALLTRAIL_SYMBOLIZER_REPORT_INPUT_HPP
#define KORVO_CALLTRAIL_SYMBOLIZER_REPORT_INPUT_HPP

// What calltrail-symbolize reads, a line at a time: the raw part of
// calltrail's crash reports (raw frames sections and their module table),
// and lines that each name one frame: FILE OFFSET, FILE+0xOFFSET, glibc's
// backtrace_symbols() lines, or bare addresses in the file given by --exe.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace korvo {
namespace calltrail {
namespace offline {

struct raw_frame {
    std::uint64_t number = 0;
    // In the process; where the input gave none, the offset.
    std::uint64_t address = 0;
    // The object, as the process knew it (empty when its module was not
    // known), and the byte to look up in it, as `addr2line -e FILE OFFSET`
    // takes it.
    std::string file;
    std::uint64_t offset = 0;
    // backtrace_symbols' "FILE(NAME+0x12)": the return address lies that far
    // from the symbol NAME, and `offset` is found once the file is read.
    std::string symbol;
    std::int64_t from_symbol = 0;
};

// One line of a raw frames section.
struct section_line {
    enum class kind { frame, repeat, not_shown };
    kind what = kind::frame;
    raw_frame frame;
    // Frames first to last repeat frames repeated_first to repeated_last
    // (equal for one frame), or were not shown.
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t repeated_first = 0;
    std::uint64_t repeated_last = 0;
};

struct raw_section {
    std::string title;
    std::vector<section_line> lines;
};

// The build-id a report gives for a file: none given (no module table, or
// the file is not in it), the object had none ("-"), or its hex digits.
struct reported_id {
    bool given = false;
    std::vector<std::uint8_t> bytes;
};

struct crash_report {
    std::vector<raw_section> sections;
    std::map<std::string, reported_id> modules;
};

// Turns input lines into frames and reports. A report is handed on once its
// module table ends, or at the end of the input when it has none; while one
// is being read, other lines are not frames of their own.
class input_reader {
public:
    struct handlers {
        std::function<void(const raw_frame&)> frame;
        std::function<void(const crash_report&)> report;
    };

    // `executable`, when not empty, is the file that bare addresses are in.
    input_reader(handlers on, std::string executable);

    void line(std::string_view text);
    void end();

private:
    enum class state { frames, section, after_sections, modules };

    void standalone(std::string_view text);
    void finish_report();

    handlers on_;
    std::string executable_;
    state state_ = state::frames;
    crash_report report_;
    std::uint64_t next_number_ = 0;
};

// Splitting and escaping, shared with the tests that write reports.
bool parse_hex(std::string_view digits, std::uint64_t& value);
bool parse_decimal(std::string_view digits, std::uint64_t& value);
// A file name as the raw part writes it: control characters and backslashes
// escaped, as in a trace; and back.
std::string escaped_file(std::string_view file);
std::string unescaped_file(std::string_view text);

} // namespace offline
} // namespace calltrail
} // namespace korvo

#endif
