#include "engine_text.hpp"
#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

bool symbol_resolver::ask_source(ULONG64 offset, engine_text& answer, ULONG& line) const {
    line = 0;
    ULONG needed = 0;
    if (symbols.get()->GetLineByOffset(offset, &line, answer.first_try(), first_try_size, &needed, nullptr) == S_OK) {
        answer.keep_first_try(needed);
        return true;
    }
    // A line reported along with a failure is not trusted.
    if (needed == 0) return false;
    std::string& path = answer.grown(needed);
    if (symbols.get()->GetLineByOffset(offset, &line, &path[0], static_cast<ULONG>(path.size()), &needed, nullptr) !=
        S_OK)
        return false;
    answer.keep_grown();
    return true;
}

std::pair<std::string, std::size_t> symbol_resolver::lookup_source(const void* address) const {
    std::pair<std::string, std::size_t> location(std::string(), 0);
    if (!is_ready()) return location;
    engine_text answer;
    ULONG line = 0;
    if (!ask_source(engine_offset(address), answer, line)) return location;
    location.first.assign(answer.text());
    location.second = line;
    return location;
}

std::size_t symbol_resolver::lookup_line(const void* address) const {
    if (!is_ready()) return 0;
    ULONG line = 0;
    if (symbols.get()->GetLineByOffset(engine_offset(address), &line, nullptr, 0, nullptr, nullptr) != S_OK) return 0;
    return line;
}

} // namespace calltrail
} // namespace korvo
