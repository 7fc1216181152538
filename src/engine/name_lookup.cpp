#include "engine_text.hpp"
#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

bool symbol_resolver::ask_name(ULONG64 offset, engine_text& answer) const {
    ULONG needed = 0;
    if (symbols.get()->GetNameByOffset(offset, answer.first_try(), first_try_size, &needed, nullptr) == S_OK) {
        answer.keep_first_try(needed);
        return true;
    }
    if (needed == 0) return false;
    std::string& text = answer.grown(needed);
    if (symbols.get()->GetNameByOffset(offset, &text[0], static_cast<ULONG>(text.size()), &needed, nullptr) != S_OK)
        return false;
    answer.keep_grown();
    return true;
}

std::string symbol_resolver::lookup_name(const void* address, std::string* module) const {
    if (!is_ready()) return std::string();
    engine_text answer;
    if (!ask_name(engine_offset(address), answer)) return std::string();
    // Only the first "!" separates; a function name may contain more of them.
    const symbol_parts parts = split_symbol_text(answer.text());
    if (module != nullptr) module->assign(parts.module);
    return std::string(parts.function);
}

} // namespace calltrail
} // namespace korvo
