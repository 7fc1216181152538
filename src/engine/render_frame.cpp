#include <korvo/array.hpp>
#include <korvo/hex_address_text.hpp>

#include "engine_text.hpp"
#include "line_buffer.hpp"
#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

void symbol_resolver::render_frame(const void* address, std::string& out) const {
    if (!is_ready()) return;
    line_buffer line(out);
    render_frame(address, line);
    line.flush();
}

// The texts go from the engine's buffers straight into the trace: the same
// engine calls as lookup_name and lookup_source, without their strings.
void symbol_resolver::render_frame(const void* address, line_buffer& line) const {
    const ULONG64 offset = engine_offset(address);

    engine_text name(true);
    symbol_parts parts;
    bool name_clean = true;
    if (ask_name(offset, name)) {
        parts = split_symbol_text(name.text());
        name_clean = name.clean();
    }
    // The head is settled before the source is asked for.
    if (parts.function.empty()) {
        const array<char, 19> hex = hex_address_text(offset);
        line.add(std::string_view(hex.data(), hex.size() - 1));
    } else if (name_clean) {
        line.add(parts.function);
    } else {
        line.add_escaped(parts.function);
    }

    engine_text source(true);
    ULONG source_line = 0;
    if (ask_source(offset, source, source_line) && !source.text().empty() && source_line != 0) {
        line.add(" at ");
        if (source.clean())
            line.add(source.text());
        else
            line.add_escaped(source.text());
        line.add(':');
        char room[decimal_room];
        line.add(decimal(source_line, room));
    } else if (!parts.module.empty()) {
        line.add(" in ");
        if (name_clean)
            line.add(parts.module);
        else
            line.add_escaped(parts.module);
    }
}

} // namespace calltrail
} // namespace korvo
