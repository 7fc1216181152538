#ifndef CALLTRAIL_BENCH_TRACE_TEXT_HPP
#define CALLTRAIL_BENCH_TRACE_TEXT_HPP

#include <cstddef>
#include <string>

namespace calltrail_bench {

// The peers' lines take the library's own shape, " 3# function at file:line"
// or " 3# function in module", so that every row builds the same text.
void append_trace_line(std::string& out, std::size_t position, const void* address, const char* function,
                       const char* file, std::size_t line, const char* module);

// The last path component of an object's path.
const char* file_name_of(const char* path);

} // namespace calltrail_bench

#endif
