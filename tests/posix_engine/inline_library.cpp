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

// A lambda's code: its entry stands in its closure type, inside the entry of
// the function that made it. Neither inlined nor cloned under another name.
#ifdef __clang__
#define NOT_INLINED __attribute__((noinline))
#else
#define NOT_INLINED __attribute__((noipa))
#endif
template <class Step> NOT_INLINED int run_step(Step step, probe* p) { return PROBE_CALL(p, step(p)) + 1; }

int call_inlined_in_lambda(probe* p) {
    const auto step = [](probe* q) NOT_INLINED { return PROBE_CALL(q, inlined_helper(q, 7)) + 2; };
    return PROBE_CALL(p, run_step(step, p)) + 1;
}

} // namespace known
