#include <korvo/array.hpp>
#include <korvo/hex_address_text.hpp>

#include "engine_text.hpp"
#include "escaped_text.hpp"
#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

// The texts go from the engine's buffers straight into the trace: the same
// engine calls as lookup_name and lookup_source, without their strings.
void symbol_resolver::render_frame(const void* address, std::string& out) const {
    if (!is_ready()) return;
    const ULONG64 offset = engine_offset(address);

    engine_text name;
    symbol_parts parts;
    if (ask_name(offset, name)) parts = split_symbol_text(name.text());
    // The head goes in before the source is asked for.
    if (!parts.function.empty()) {
        append_escaped(out, parts.function);
    } else {
        const array<char, 19> hex = hex_address_text(offset);
        out.append(hex.data(), hex.size() - 1);
    }

    engine_text source;
    ULONG line = 0;
    if (ask_source(offset, source, line) && !source.text().empty() && line != 0) {
        out += " at ";
        append_escaped(out, source.text());
        out += ':';
        append_decimal(out, line);
    } else if (!parts.module.empty()) {
        out += " in ";
        append_escaped(out, parts.module);
    }
}

} // namespace calltrail
} // namespace korvo
