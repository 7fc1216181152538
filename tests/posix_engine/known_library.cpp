#include "known_library.hpp"

namespace known {
namespace nested {

int widget::spin(probe* p) const { return PROBE_CALL(p, templated_step<long>(p, 7L)) + 1; }

template <typename T> __attribute__((noinline)) int templated_step(probe* p, T value) {
    return PROBE_CALL(p, (p->capture(p), static_cast<int>(value))) + 1;
}

template int templated_step<long>(probe*, long);

} // namespace nested

int call_through_namespaces(probe* p) {
    const nested::widget w{};
    return PROBE_CALL(p, w.spin(p)) + 1;
}

int library_value = 42;

const void* library_data() { return &library_value; }

// clang-format off
constexpr int first_line = __LINE__ + 1;
int first_byte_target(int x) { return x * 3 + library_value; }
// clang-format on

const void* first_byte_function() { return reinterpret_cast<const void*>(&first_byte_target); }
int first_byte_line() { return first_line; }

} // namespace known
