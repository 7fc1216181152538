#include <korvo/array.hpp>
#include <korvo/hex_address_text.hpp>
#include <korvo/spellout.hpp>

#include "engine_text.hpp"
#include "escaped_text.hpp"
#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

void symbol_resolver::render_frame(const void* address, std::string& out) const {
    if (!is_ready()) return;

    std::string module;
    const std::string function = lookup_name(address, &module);
    // The head goes in before the source is asked for.
    if (!function.empty())
        append_escaped(out, function);
    else
        out += hex_address_text(engine_offset(address)).data();

    const std::pair<std::string, std::size_t> source = lookup_source(address);
    if (!source.first.empty() && source.second != 0) {
        out += " at ";
        append_escaped(out, source.first);
        out += ':';
        out += spellout<array<char, 40>>(source.second).data();
    } else if (!module.empty()) {
        out += " in ";
        append_escaped(out, module);
    }
}

} // namespace calltrail
} // namespace korvo
