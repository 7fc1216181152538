#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_SETTINGS_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_SETTINGS_HPP

// What install_crash_handler can be told. Part of crash_handler.hpp.

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
    // Linux: the rendered part is made by another program, started for the
    // report, which reads the raw part on its standard input and needs
    // nothing of the dying process: a crash inside malloc, the loader or
    // calltrail still gets its names and lines. Its output goes where the
    // report goes. If it cannot be started or fails, the report says so in
    // one line and the trace is rendered in the process as without this.
    // Ignored elsewhere.
    bool render_out_of_process = false;
    // That program: a path, or a name looked up in PATH when the handler is
    // installed.
    const char* symbolizer_program = "calltrail-symbolize";
};

} // namespace calltrail
} // namespace korvo

#endif
