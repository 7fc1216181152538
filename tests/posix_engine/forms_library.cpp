#include "probe.hpp"

// Built in several forms (separate debug file, compressed sections, older
// DWARF, stripped) to check that each gives what it holds. Only the entry
// point is exported; the step is in the full symbol table alone.
#define FORMS_API extern "C" __attribute__((visibility("default")))

namespace forms {

__attribute__((noinline, visibility("hidden"))) int hidden_step(probe* p, int x) {
    return PROBE_CALL(p, (p->capture(p), x)) + 1;
}

} // namespace forms

FORMS_API int forms_entry(probe* p) { return PROBE_CALL(p, forms::hidden_step(p, 3)) + 1; }
