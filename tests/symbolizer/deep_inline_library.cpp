// Built at -O2 with calls inlined five deep, some from a header, so that most
// return addresses lie inside several levels of inlined code.
#include "deep_inline_steps.hpp"

namespace deep {

__attribute__((always_inline)) inline int fourth(int x) { return steps::scaled(x, 3) ^ outside(x); }

__attribute__((always_inline)) inline int third(int x) {
    int sum = 0;
    for (int i = 0; i < x; ++i) sum += fourth(i) + outside(sum);
    return sum;
}

__attribute__((always_inline)) inline int second(int x) { return third(x) + steps::scaled(third(x + 1), 5); }

__attribute__((always_inline)) inline int first(int x) { return second(x) * outside(second(x - 1)); }

} // namespace deep

extern "C" __attribute__((visibility("default"))) int deep_entry(int x) { return deep::first(x) + deep::third(x); }

extern "C" __attribute__((visibility("default"))) int deep_other_entry(int x) {
    return deep::second(x) - steps::scaled(x, 7);
}

// The members of a type local to a function may be defined inside it: their
// inlined code is found there too.
extern "C" __attribute__((visibility("default"))) int deep_local_entry(int x) {
    struct local {
        __attribute__((noinline)) static int run(int y) { return deep::second(y) + deep::third(y); }
    };
    return local::run(x) + 1;
}
