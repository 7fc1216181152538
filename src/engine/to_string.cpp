#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include "line_buffer.hpp"
#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

std::string to_string(const frame& f) {
    const symbol_resolver resolver;
    std::string text;
    resolver.render_frame(f.code_address(), text);
    return text;
}

namespace detail {

// One resolver for the whole trace. Without an engine not even the positions
// are written, so an empty text always means "no symbols".
std::string to_string(const frame* frames, std::size_t count) {
    const symbol_resolver resolver;
    std::string text;
    if (!resolver.is_ready()) return text;

    // Ordinary lines fit, so the text does not grow again.
    text.reserve(count * 64);
    line_buffer lines(text);
    for (std::size_t i = 0; i < count; ++i) {
        // Positions 0 to 9 line up with 10 to 99.
        if (i < 10) lines.add(' ');
        char room[symbol_resolver::decimal_room];
        lines.add(resolver.decimal(i, room));
        lines.add("# ");
        resolver.render_frame(frames[i].code_address(), lines);
        lines.add('\n');
    }
    lines.flush();
    return text;
}

} // namespace detail
} // namespace calltrail
} // namespace korvo
