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
// ends the process, within three seconds by default. Then the handler that
// was installed before it, if any, runs (a sanitizer's, a minidump writer,
// the application's own), and the process dies as it would have without the
// handler: of the same signal, with the same core dump (POSIX), or with the
// exception's code (Windows). A fault inside the report is announced, and
// ends the process with the signal first reported.
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

#include <cstddef>

#include <korvo/calltrail/detail/crash_text.hpp>

namespace korvo {
namespace calltrail {

struct crash_handler_settings {
    // The report must be done within this many seconds; then the process
    // dies of what it caught all the same.
    unsigned watchdog_seconds = 3;
    // POSIX: each thread's alternate stack, without its guard page; a report
    // needs about 30 KiB (see the README). Windows: the stack each thread
    // keeps back for reporting a stack overflow.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    std::size_t stack_size = std::size_t{1024} * 1024; // sanitizers' frames are several times larger
#else
    std::size_t stack_size = std::size_t{64} * 1024;
#endif
    // Where the report goes: this descriptor (standard error; -1 for none)
    // and, when set, writer, called with each chunk of the report in order
    // and with writer_context. The writer runs inside a signal handler (on
    // Windows, while the process is dying): it may only do what is safe
    // there, such as write(2) or copying into memory it owns; no allocation,
    // no lock, no stdio.
    int descriptor = 2;
    crash_report_writer writer = nullptr;
    void* writer_context = nullptr;
    // After the report, hand the signal (or the exception) to the handler
    // that was installed before this one, if any; otherwise, or when false,
    // the process dies of the default action.
    bool chain_to_previous_handlers = true;
};

} // namespace calltrail
} // namespace korvo

#if defined(_WIN32)
#include <korvo/calltrail/detail/crash_handler_windows.hpp>
#else
#include <korvo/calltrail/detail/crash_handler_posix.hpp>
#endif

#endif
