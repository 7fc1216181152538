#ifndef KORVO_CALLTRAIL_CRASH_HANDLER_HPP
#define KORVO_CALLTRAIL_CRASH_HANDLER_HPP

// A crash handler installed with one call. Header-only: it adds nothing to
// what the libraries export.
//
//   int main() {
//       korvo::calltrail::install_crash_handler();       // first thing
//       ...
//   }
//   void worker() {
//       korvo::calltrail::install_crash_stack_for_this_thread();
//       ...
//   }
//
// When the process is about to die of a fault it writes to standard error:
// first, with signal-safe calls only, what happened and every frame as an
// address, the file of its module and the offset in it (readable later with
// `addr2line -e FILE OFFSET`); then the numbered trace with names, files and
// lines. The second part allocates and reads symbols, so a watchdog bounds
// it: a crash inside malloc, the loader or calltrail still ends the process,
// within three seconds by default. Then the process dies as it would have
// without the handler: of the same signal, with the same core dump (POSIX),
// or with the exception's code (Windows). A fault inside the handler ends it
// at once.
//
// POSIX: SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and SIGTRAP, each handled
// on an alternate stack that the handler allocates itself, with a guard page
// below it. install_crash_handler gives one to the thread that calls it; other
// threads need install_crash_stack_for_this_thread to have a stack overflow
// reported.
//
// Windows: an unhandled-exception filter (access violation, illegal
// instruction, division by zero, stack overflow, and the rest) and abort().
// The stack guarantee for reporting a stack overflow is per thread, like the
// alternate stacks on POSIX.

#if defined(_WIN32)
#include <korvo/calltrail/detail/crash_handler_windows.hpp>
#else
#include <korvo/calltrail/detail/crash_handler_posix.hpp>
#endif

#endif
