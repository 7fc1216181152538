#include "report_input.hpp"

#include <sys/stat.h>

#include <cstring>
#include <utility>

#include "engine/escaped_text.hpp"

namespace korvo {
namespace calltrail {
namespace offline {

namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// "0x1a2b" or "1a2b".
bool parse_address(std::string_view text, std::uint64_t& value) {
    if (starts_with(text, "0x") || starts_with(text, "0X")) text.remove_prefix(2);
    return parse_hex(text, value);
}

// Takes a decimal number off the front of `text`.
bool take_decimal(std::string_view& text, std::uint64_t& value) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (!parse_decimal(text.substr(0, digits), value)) return false;
    text.remove_prefix(digits);
    return true;
}

bool take(std::string_view& text, std::string_view expected) {
    if (!starts_with(text, expected)) return false;
    text.remove_prefix(expected.size());
    return true;
}

// The blanks that open the lines of a raw frames section; a large frame
// number may stand at the very start.
bool take_indent(std::string_view& text) {
    std::size_t blanks = 0;
    while (blanks < text.size() && text[blanks] == ' ') ++blanks;
    text.remove_prefix(blanks);
    return true;
}

//  N 0xADDRESS16[ FILE 0xOFFSET]
bool parse_frame_line(std::string_view text, section_line& out) {
    raw_frame& f = out.frame;
    if (!take_indent(text) || !take_decimal(text, f.number) || !take(text, " 0x") || text.size() < 16) return false;
    if (!parse_hex(text.substr(0, 16), f.address)) return false;
    text.remove_prefix(16);
    out.what = section_line::kind::frame;
    if (text.empty()) return true;
    if (!take(text, " ")) return false;
    const std::string_view::size_type mark = text.rfind(" 0x");
    if (mark == std::string_view::npos || mark == 0 || !parse_hex(text.substr(mark + 3), f.offset)) return false;
    f.file = unescaped_file(text.substr(0, mark));
    return true;
}

//  A-B repeat C[-D]   and    A-B not shown
bool parse_range_line(std::string_view text, section_line& out) {
    if (!take_indent(text) || !take_decimal(text, out.first) || !take(text, "-") || !take_decimal(text, out.last) ||
        out.last < out.first)
        return false;
    if (text == " not shown") {
        out.what = section_line::kind::not_shown;
        return true;
    }
    if (!take(text, " repeat ") || !take_decimal(text, out.repeated_first)) return false;
    out.repeated_last = out.repeated_first;
    if (take(text, "-") && (!take_decimal(text, out.repeated_last) || out.repeated_last < out.repeated_first))
        return false;
    out.what = section_line::kind::repeat;
    return text.empty();
}

//   FILE BUILD-ID   (the id in lower-case hex, or "-")
bool parse_module_line(std::string_view text, std::string& file, reported_id& id) {
    if (!take(text, "  ")) return false;
    const std::string_view::size_type mark = text.rfind(' ');
    if (mark == std::string_view::npos || mark == 0) return false;
    const std::string_view digits = text.substr(mark + 1);
    id = reported_id();
    id.given = true;
    if (digits != "-") {
        if (digits.empty() || digits.size() % 2 != 0) return false;
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            const int high = hex_digit(digits[i]);
            const int low = hex_digit(digits[i + 1]);
            if (high < 0 || low < 0) return false;
            id.bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        }
    }
    file = unescaped_file(text.substr(0, mark));
    return true;
}

bool exists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

// FILE(NAME+0xOFFSET) [0xADDRESS], FILE(+0xOFFSET) [0xADDRESS] or [0xADDRESS],
// each offset that of a return address.
bool parse_backtrace_symbols(std::string_view text, raw_frame& f) {
    const std::string_view::size_type open = text.rfind('[');
    if (open == std::string_view::npos || text.back() != ']' ||
        !parse_address(text.substr(open + 1, text.size() - open - 2), f.address))
        return false;
    std::string_view place = trimmed(text.substr(0, open));
    if (place.empty()) return true;
    if (place.back() != ')') return false;
    const std::string_view::size_type paren = place.rfind('(');
    if (paren == std::string_view::npos || paren == 0) return false;
    const std::string_view inside = place.substr(paren + 1, place.size() - paren - 2);
    const std::string_view::size_type sign = inside.find_last_of("+-");
    std::uint64_t distance = 0;
    if (sign == std::string_view::npos || !parse_address(inside.substr(sign + 1), distance) ||
        distance > UINT64_MAX / 2)
        return false;
    f.file = std::string(place.substr(0, paren));
    f.symbol = std::string(inside.substr(0, sign));
    f.from_symbol = inside[sign] == '+' ? static_cast<std::int64_t>(distance) : -static_cast<std::int64_t>(distance);
    if (f.symbol.empty()) {
        // Counted from where the object was loaded: a link-time address.
        if (f.from_symbol <= 0) return false;
        f.offset = static_cast<std::uint64_t>(f.from_symbol) - 1;
    }
    return true;
}

// FILE+0xOFFSET, or FILE OFFSET; a FILE with blanks in it must exist, so that
// the other lines of a log are not taken for frames.
bool parse_file_offset(std::string_view text, raw_frame& f) {
    std::string_view::size_type mark = text.rfind("+0x");
    if (mark == std::string_view::npos || !parse_hex(text.substr(mark + 3), f.offset)) {
        mark = text.find_last_of(" \t");
        if (mark == std::string_view::npos || !parse_address(text.substr(mark + 1), f.offset)) return false;
    }
    const std::string_view file = trimmed(text.substr(0, mark));
    if (file.empty()) return false;
    f.file = std::string(file);
    // Two searches: find_first_of tries each byte against the set in turn.
    const bool spaced =
        std::memchr(file.data(), ' ', file.size()) != nullptr || std::memchr(file.data(), '\t', file.size()) != nullptr;
    if (spaced && !exists(f.file)) return false;
    f.address = f.offset;
    return true;
}

} // namespace

bool parse_hex(std::string_view digits, std::uint64_t& value) {
    if (digits.empty() || digits.size() > 16) return false;
    value = 0;
    for (const char c : digits) {
        const int d = hex_digit(c);
        if (d < 0) return false;
        value = value << 4 | static_cast<std::uint64_t>(d);
    }
    return true;
}

bool parse_decimal(std::string_view digits, std::uint64_t& value) {
    if (digits.empty() || digits.size() > 19) return false;
    value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// As a trace escapes names and paths, and a backslash too, so that the escaping
// can be undone.
std::string escaped_file(std::string_view file) {
    std::string text;
    text.reserve(file.size());
    for (std::string_view::size_type from = 0;;) {
        const std::string_view::size_type backslash = file.find('\\', from);
        append_escaped(text, file.substr(from, backslash - from));
        if (backslash == std::string_view::npos) return text;
        text += "\\\\";
        from = backslash + 1;
    }
}

std::string unescaped_file(std::string_view text) {
    std::string file;
    file.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            file += text[i];
            continue;
        }
        const char next = text[i + 1];
        if (next == '\\' || next == 'n' || next == 'r' || next == 't') {
            file += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : '\\';
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && hex_digit(text[i + 2]) >= 0 && hex_digit(text[i + 3]) >= 0) {
            file += static_cast<char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3]));
            i += 3;
        } else {
            file += text[i];
        }
    }
    return file;
}

input_reader::input_reader(handlers on, std::string executable)
    : on_(std::move(on)), executable_(std::move(executable)) {}

void input_reader::line(std::string_view text) {
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (starts_with(text, "raw frames") && ends_with(text, ":")) {
        if (state_ == state::modules) finish_report();
        report_.sections.push_back(raw_section{std::string(text), {}});
        state_ = state::section;
        return;
    }
    switch (state_) {
    case state::section: {
        section_line parsed;
        if (parse_frame_line(text, parsed) || parse_range_line(text, parsed)) {
            report_.sections.back().lines.push_back(std::move(parsed));
            return;
        }
        state_ = state::after_sections;
        break;
    }
    case state::modules: {
        std::string file;
        reported_id id;
        if (parse_module_line(text, file, id)) {
            report_.modules.emplace(std::move(file), std::move(id));
            return;
        }
        finish_report();
        standalone(text);
        return;
    }
    case state::after_sections:
    case state::frames:
        break;
    }
    if (state_ == state::after_sections) {
        if (starts_with(text, "modules")) state_ = state::modules;
        return;
    }
    standalone(text);
}

void input_reader::end() {
    if (state_ != state::frames) finish_report();
}

void input_reader::finish_report() {
    const crash_report report = std::move(report_);
    report_ = crash_report();
    state_ = state::frames;
    if (on_.report) on_.report(report);
}

void input_reader::standalone(std::string_view text) {
    text = trimmed(text);
    if (text.empty()) return;
    std::vector<raw_frame> frames(1);
    if (!executable_.empty() && text.find_first_not_of("0123456789abcdefABCDEFxX \t") == std::string_view::npos) {
        // Bare addresses in the executable given, several to a line as
        // addr2line takes them.
        frames.clear();
        while (!text.empty()) {
            const std::string_view::size_type end = text.find_first_of(" \t");
            raw_frame f;
            if (parse_address(text.substr(0, end), f.offset)) {
                f.file = executable_;
                f.address = f.offset;
                frames.push_back(std::move(f));
            }
            text = end == std::string_view::npos ? std::string_view() : trimmed(text.substr(end));
        }
    } else if (!parse_backtrace_symbols(text, frames[0]) && !parse_file_offset(text, frames[0])) {
        return;
    }
    for (raw_frame& f : frames) {
        f.number = next_number_++;
        if (on_.frame) on_.frame(f);
    }
}

} // namespace offline
} // namespace calltrail
} // namespace korvo
