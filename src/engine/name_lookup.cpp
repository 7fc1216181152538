#include "engine_text.hpp"
#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

std::string symbol_resolver::lookup_name(const void* address, std::string* module) const {
    std::string text;
    if (!is_ready()) return text;

    const ULONG64 offset = engine_offset(address);
    char first_try_buffer[first_try_size];
    first_try_buffer[0] = '\0';
    ULONG needed = 0;
    if (symbols.get()->GetNameByOffset(offset, first_try_buffer, first_try_size, &needed, nullptr) == S_OK) {
        text = text_before_nul(first_try_buffer, first_try_size);
    } else {
        if (needed == 0) return text;
        text.resize(needed);
        if (symbols.get()->GetNameByOffset(offset, &text[0], static_cast<ULONG>(text.size()), &needed, nullptr) !=
            S_OK) {
            text.clear();
            return text;
        }
        end_at_first_nul(text);
    }

    // Only the first "!" separates; a function name may contain more of them.
    const std::string::size_type bang = text.find('!');
    if (module != nullptr) module->assign(text, 0, bang);
    if (bang == std::string::npos) {
        text.clear();
        return text;
    }
    text.erase(0, bang + 1);
    return text;
}

} // namespace calltrail
} // namespace korvo
