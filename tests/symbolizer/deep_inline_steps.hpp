#ifndef KORVO_CALLTRAIL_TESTS_SYMBOLIZER_DEEP_INLINE_STEPS_HPP
#define KORVO_CALLTRAIL_TESTS_SYMBOLIZER_DEEP_INLINE_STEPS_HPP

// Inlined code from a header: its levels name this file, not the caller's.

// Out of line, so that the inlined code around it makes calls; not cloned
// either, so that every tool names it alike.
#if defined(__clang__)
#define DEEP_OUT_OF_LINE __attribute__((noinline))
#else
#define DEEP_OUT_OF_LINE __attribute__((noinline, noclone))
#endif

namespace deep {

DEEP_OUT_OF_LINE int outside(int x);

} // namespace deep

namespace steps {

__attribute__((always_inline)) inline int twice(int x) { return deep::outside(x) * 2; }

__attribute__((always_inline)) inline int scaled(int x, int by) { return twice(x + by) + deep::outside(by); }

} // namespace steps

namespace deep {

DEEP_OUT_OF_LINE int outside(int x) { return x * 7 + 1; }

} // namespace deep

#endif
