#include "probe.hpp"

// Built in several forms (separate debug file, compressed sections, older
// DWARF, stripped, split) to check that each gives what it holds. Only the
// entry points are exported; the step is in the full symbol table alone.
#define FORMS_API extern "C" __attribute__((visibility("default")))

#ifdef FORMS_UNREADABLE_ALIAS
// Local, and its alias exported, so that the alias outranks it on everything
// but its name.
#define FORMS_STEP static __attribute__((noinline, noclone))
#else
#define FORMS_STEP __attribute__((noinline, visibility("hidden")))
#endif

namespace forms {

FORMS_STEP int hidden_step(probe* p, int x) { return PROBE_CALL(p, (p->capture(p), x)) + 1; }

// Inlined into its caller: a return address inside it belongs to the caller,
// at the line that entered it, never at a line of its own.
__attribute__((always_inline)) inline int inlined_step(probe* p, int x) {
    return PROBE_CALL(p, hidden_step(p, x * 2)) + 1;
}

} // namespace forms

#ifdef FORMS_UNREADABLE_ALIAS
// A name like the old-ABI aliases of the C++ runtime, which the demangler
// cannot read.
FORMS_API int forms_unreadable(probe*, int) __asm__("_ZN5forms11hidden_stepEP5probe_i")
    __attribute__((alias("_ZN5formsL11hidden_stepEP5probei")));
#endif

FORMS_API int forms_entry(probe* p) { return PROBE_CALL(p, forms::hidden_step(p, 3)) + 1; }

FORMS_API int forms_inlined_entry(probe* p) { return PROBE_CALL(p, forms::inlined_step(p, 3)) + 1; }
