#ifndef KORVO_CALLTRAIL_TESTS_POSIX_ENGINE_KNOWN_LIBRARY_HPP
#define KORVO_CALLTRAIL_TESTS_POSIX_ENGINE_KNOWN_LIBRARY_HPP

#include <cstddef>

#include "probe.hpp"

#define KNOWN_API __attribute__((visibility("default")))

namespace known {
namespace nested {

struct widget {
    int spin(probe* p) const;
};

template <typename T> int templated_step(probe* p, T value);

} // namespace nested

// widget::spin → templated_step<long> → capture.
KNOWN_API int call_through_namespaces(probe* p);
// A name longer than any first buffer.
KNOWN_API int call_long_name(probe* p);
// A function whose source lies in a directory far down the build tree.
KNOWN_API int call_deep_path(probe* p);
KNOWN_API const char* deep_path_file();
// A capture from code inlined into known::physical_function at -O2.
KNOWN_API int call_inlined(probe* p);
// The same inside a lambda.
KNOWN_API int call_inlined_in_lambda(probe* p);
// The first byte of a function and the line it starts on.
KNOWN_API const void* first_byte_function();
KNOWN_API int first_byte_line();
// Data of the library, for addresses that hold no code.
KNOWN_API const void* library_data();

} // namespace known

#endif
