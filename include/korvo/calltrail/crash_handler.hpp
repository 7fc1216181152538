#ifndef KORVO_CALLTRAIL_CRASH_HANDLER_HPP
#define KORVO_CALLTRAIL_CRASH_HANDLER_HPP

// A crash handler installed with one call. Header-only: it adds nothing to
// what the libraries export, and it builds with or without exceptions and
// run-time type information.
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
// When the process is about to die of a fault, an abort or an uncaught
// exception, it writes a report (to standard error unless told otherwise):
// first, with signal-safe calls only, what happened and every frame from the
// failure down as an address, the file of its module and the offset in it
// (readable later with `addr2line -e FILE OFFSET` or calltrail-symbolize),
// with the build-id of each module; then the numbered trace with names,
// files and lines. The second part allocates and reads symbols, so a
// watchdog bounds it: a crash inside malloc, the loader or calltrail still
// ends the process, within three seconds by default. On Linux it can be
// made by calltrail-symbolize instead, started for the report, which needs
// none of the process's locks (crash_handler_settings::render_out_of_process).
// Then the handler that was installed before it, if any, runs (a
// sanitizer's, a minidump writer, the application's own), and the process
// dies as it would have without the handler: of the same signal, with the
// same core dump (POSIX), or with the exception's code (Windows). A fault
// inside the report is announced, and ends the process with the signal
// first reported.
//
// POSIX: SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and SIGTRAP, each handled
// on an alternate stack that the handler allocates itself, with a guard page
// below it. install_crash_handler gives one to the thread that calls it; other
// threads need install_crash_stack_for_this_thread to have a stack overflow
// reported. An uncaught exception is reported by a terminate handler: its
// type, what(), the trace of a traced<E>'s throw site, and each nested
// exception; the process then aborts as std::terminate would.
//
// Windows: an unhandled-exception filter (access violation, illegal
// instruction, division by zero, stack overflow, and the rest), abort() and
// the terminate handler. The stack guarantee for reporting a stack overflow
// is per thread, like the alternate stacks on POSIX.

// crash_handler_settings, what install_crash_handler can be told: where the
// report goes, the watchdog, the stacks, and whether the handler installed
// before runs after it.
#include <korvo/calltrail/detail/crash_settings.hpp>

#if defined(_WIN32)
#include <korvo/calltrail/detail/crash_handler_windows.hpp>
#else
#include <korvo/calltrail/detail/crash_handler_posix.hpp>
#endif

#endif
