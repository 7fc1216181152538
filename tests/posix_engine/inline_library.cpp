#include "known_library.hpp"

// Built at -O2: the helper has no frame of its own, its code lies inside
// physical_function.
namespace known {

__attribute__((always_inline)) inline int inlined_helper(probe* p, int x) {
    return PROBE_CALL(p, (p->capture(p), x * 2)) + 1;
}

__attribute__((noinline)) int physical_function(probe* p, int x) {
    const int first = PROBE_CALL(p, inlined_helper(p, x));
    return first + 3;
}

int call_inlined(probe* p) { return PROBE_CALL(p, physical_function(p, 5)) + 1; }

} // namespace known
