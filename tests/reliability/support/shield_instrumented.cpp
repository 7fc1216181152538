// Code compiled with -finstrument-functions announces every function it
// enters and leaves, also when an exception unwinds it. The fault tests build
// the scripted fake that way, so that its own bookkeeping is shielded from
// the failures they inject into the engine.
#include "failing_allocation.hpp"

extern "C" {

__attribute__((no_instrument_function)) void __cyg_profile_func_enter(void*, void*) { calltrail_test::enter_shield(); }

__attribute__((no_instrument_function)) void __cyg_profile_func_exit(void*, void*) { calltrail_test::leave_shield(); }
}
