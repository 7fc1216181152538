#include "trace_text.hpp"

#include <cstdio>
#include <cstring>

namespace calltrail_bench {

void append_trace_line(std::string& out, std::size_t position, const void* address, const char* function,
                       const char* file, std::size_t line, const char* module) {
    char number[32];
    std::snprintf(number, sizeof number, "%2zu# ", position);
    out += number;
    if (function != nullptr && *function != '\0') {
        out += function;
    } else {
        std::snprintf(number, sizeof number, "%p", address);
        out += number;
    }
    if (file != nullptr && *file != '\0') {
        out += " at ";
        out += file;
        out += ':';
        out += std::to_string(line);
    } else if (module != nullptr && *module != '\0') {
        out += " in ";
        out += module;
    }
    out += '\n';
}

const char* file_name_of(const char* path) {
    if (path == nullptr) return nullptr;
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

} // namespace calltrail_bench
