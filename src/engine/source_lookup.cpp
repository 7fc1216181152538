#include "engine_text.hpp"
#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

std::pair<std::string, std::size_t> symbol_resolver::lookup_source(const void* address) const {
    std::pair<std::string, std::size_t> location(std::string(), 0);
    if (!is_ready()) return location;

    const ULONG64 offset = engine_offset(address);
    char first_try_buffer[first_try_size];
    first_try_buffer[0] = '\0';
    ULONG line = 0;
    ULONG needed = 0;
    if (symbols.get()->GetLineByOffset(offset, &line, first_try_buffer, first_try_size, &needed, nullptr) == S_OK) {
        location.first = text_before_nul(first_try_buffer, first_try_size);
        location.second = line;
        return location;
    }
    // A line reported along with a failure is not trusted.
    if (needed == 0) return location;

    std::string& path = location.first;
    path.resize(needed);
    if (symbols.get()->GetLineByOffset(offset, &line, &path[0], static_cast<ULONG>(path.size()), &needed, nullptr) !=
        S_OK) {
        path.clear();
        return location;
    }
    end_at_first_nul(path);
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
