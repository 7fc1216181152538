#ifndef KORVO_CALLTRAIL_ENGINE_ESCAPED_TEXT_HPP
#define KORVO_CALLTRAIL_ENGINE_ESCAPED_TEXT_HPP

#include <cstddef>
#include <string>
#include <string_view>

namespace korvo {
namespace calltrail {

// Names and paths come from files anyone may have named: a control character
// in one would start a forged line of a trace, or drive the terminal it is
// shown on. Control characters (below 32, and 127) are appended as escapes,
// \n, \r and \t by name and the others as \xHH; every other byte as it is.
inline void append_escaped(std::string& out, std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::size_t plain_from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7f) continue;
        out.append(text.data() + plain_from, i - plain_from);
        plain_from = i + 1;
        out += '\\';
        if (c == '\n') {
            out += 'n';
        } else if (c == '\r') {
            out += 'r';
        } else if (c == '\t') {
            out += 't';
        } else {
            out += 'x';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    out.append(text.data() + plain_from, text.size() - plain_from);
}

} // namespace calltrail
} // namespace korvo

#endif
