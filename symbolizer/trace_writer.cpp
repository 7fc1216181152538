#include "trace_writer.hpp"

#include <korvo/hex_address_text.hpp>

#include "engine/escaped_text.hpp"

namespace korvo {
namespace calltrail {
namespace offline {

namespace {

void append_head(std::string& out, std::uint64_t address, std::string_view function) {
    if (!function.empty()) {
        append_escaped(out, function);
    } else {
        const array<char, 19> hex = hex_address_text(address);
        out.append(hex.data(), hex.size() - 1);
    }
}

void append_position(std::string& out, std::uint64_t number) {
    // Positions 0 to 9 line up with 10 to 99.
    if (number < 10) out += ' ';
    out += std::to_string(number);
    out += "# ";
}

// JSON strings: control characters, quotes and backslashes escaped; other
// bytes as the object holds them.
void append_json_string(std::string& out, std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\u00";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += ch;
        }
    }
    out += '"';
}

void append_json_field(std::string& out, const char* name, std::string_view text) {
    if (text.empty()) return;
    out += ",\"";
    out += name;
    out += "\":";
    append_json_string(out, text);
}

std::string hex_text(std::uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "0x";
    bool started = false;
    for (int shift = 60; shift >= 0; shift -= 4) {
        const unsigned d = static_cast<unsigned>(value >> shift) & 15u;
        started |= d != 0 || shift == 0;
        if (started) text += digits[d];
    }
    return text;
}

// A report with more than one raw frames section titles each rendered part
// as the raw one: "raw frames of the throw site (...):" gives
// "trace of the throw site:".
std::string rendered_title(const std::string& raw) {
    std::string title = raw.substr(std::string("raw frames").size());
    title.pop_back();
    const std::string::size_type paren = title.rfind(" (");
    if (paren != std::string::npos && !title.empty() && title.back() == ')') title.resize(paren);
    return "trace" + title + ":";
}

} // namespace

void append_frame_text(std::string& out, std::uint64_t address, std::string_view function, std::string_view file,
                       std::uint32_t line, std::string_view module) {
    append_head(out, address, function);
    if (!file.empty() && line != 0) {
        out += " at ";
        append_escaped(out, file);
        out += ':';
        out += std::to_string(line);
    } else if (!module.empty()) {
        out += " in ";
        append_escaped(out, module);
    }
}

trace_writer::trace_writer(offline_symbolizer& symbolizer, output_style style, std::string& out)
    : symbolizer_(symbolizer), style_(style), out_(out) {}

void trace_writer::frame(const raw_frame& f) { frame_line(f, symbolizer_.look_up(f), -1); }

void trace_writer::report(const crash_report& report) {
    for (std::size_t s = 0; s < report.sections.size(); ++s) {
        const raw_section& section = report.sections[s];
        if (report.sections.size() > 1 && style_ != output_style::json) out_ += rendered_title(section.title) + "\n";
        heads_.clear();
        for (const section_line& line : section.lines) {
            if (line.what != section_line::kind::frame) {
                range_line(line, static_cast<long>(s));
                continue;
            }
            const auto found = report.modules.find(line.frame.file);
            const frame_answer a =
                symbolizer_.look_up(line.frame, found != report.modules.end() ? found->second : reported_id());
            frame_line(line.frame, a, static_cast<long>(s));
        }
    }
}

void trace_writer::frame_line(const raw_frame& f, const frame_answer& a, long section) {
    if (style_ == output_style::json) {
        json_frame(f, a, section);
        return;
    }
    // Only a report's repeat lines name frames by their heads.
    if (section >= 0) {
        std::string& head = heads_[f.number];
        head.clear();
        append_head(head, f.address, a.function);
    }
    append_position(out_, f.number);
    if (style_ == output_style::trace || a.inlined.size() < 2) {
        append_frame_text(out_, f.address, a.function, a.file, a.line, a.module);
        out_ += '\n';
        return;
    }
    // Innermost first, as the code ran; then each function it was inlined
    // in, at the line of that call, down to the frame's own function.
    for (std::size_t i = 0; i < a.inlined.size(); ++i) {
        const code_level& level = a.inlined[i];
        if (i > 0) out_ += "    inlined in ";
        append_frame_text(out_, f.address, level.function, level.file, level.line, a.module);
        out_ += '\n';
    }
}

void trace_writer::range_line(const section_line& line, long section) {
    if (style_ == output_style::json) {
        out_ += "{\"section\":" + std::to_string(section) + ",\"frames\":[" + std::to_string(line.first) + "," +
                std::to_string(line.last) + "]";
        if (line.what == section_line::kind::repeat)
            out_ +=
                ",\"repeat\":[" + std::to_string(line.repeated_first) + "," + std::to_string(line.repeated_last) + "]";
        else
            out_ += ",\"not_shown\":true";
        out_ += "}\n";
        return;
    }
    out_ += "    frames " + std::to_string(line.first) + "-" + std::to_string(line.last);
    if (line.what == section_line::kind::not_shown) {
        out_ += " not shown\n";
        return;
    }
    const std::uint64_t count = line.last - line.first + 1;
    if (line.repeated_first == line.repeated_last) {
        const auto head = heads_.find(line.repeated_first);
        out_ += " repeat `";
        out_ += head != heads_.end() ? head->second : std::string();
        out_ += "` x" + std::to_string(count) + "\n";
    } else {
        const std::uint64_t cycle = line.repeated_last - line.repeated_first + 1;
        out_ += " repeat frames " + std::to_string(line.repeated_first) + "-" + std::to_string(line.repeated_last) +
                " x" + std::to_string(count / cycle) + "\n";
    }
}

void trace_writer::json_frame(const raw_frame& f, const frame_answer& a, long section) {
    out_ += '{';
    if (section >= 0) out_ += "\"section\":" + std::to_string(section) + ",";
    out_ += "\"frame\":" + std::to_string(f.number) + ",\"address\":\"" + hex_text(f.address) + "\"";
    if (!f.file.empty()) {
        append_json_field(out_, "object", f.file);
        if (f.symbol.empty()) out_ += ",\"offset\":\"" + hex_text(f.offset) + "\"";
    }
    append_json_field(out_, "module", a.module);
    append_json_field(out_, "function", a.function);
    if (!a.file.empty() && a.line != 0) {
        append_json_field(out_, "file", a.file);
        out_ += ",\"line\":" + std::to_string(a.line);
    }
    if (a.inlined.size() > 1) {
        out_ += ",\"inlined\":[";
        for (std::size_t i = 0; i < a.inlined.size(); ++i) {
            const code_level& level = a.inlined[i];
            out_ += i == 0 ? "{" : ",{";
            out_ += "\"function\":";
            append_json_string(out_, level.function);
            append_json_field(out_, "file", level.file);
            if (!level.file.empty()) out_ += ",\"line\":" + std::to_string(level.line);
            out_ += '}';
        }
        out_ += ']';
    }
    out_ += "}\n";
}

} // namespace offline
} // namespace calltrail
} // namespace korvo
