// A handler for fatal signals that writes the crashing thread's numbered
// stack to standard error, then lets the process die of the same signal.
// Copy this header into your program and call install_crash_handler() early.
//
// The capture itself is safe in a signal handler; rendering allocates, which
// a crashing process accepts as a last act before it dies.
#ifndef CALLTRAIL_EXAMPLES_CRASH_HANDLER_HPP
#define CALLTRAIL_EXAMPLES_CRASH_HANDLER_HPP

#include <korvo/calltrail/calltrail.hpp>

#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace crash_handler {

inline void write_all(const char* text, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(STDERR_FILENO, text, size);
        if (written <= 0) return;
        text += written;
        size -= static_cast<std::size_t>(written);
    }
}

extern "C" inline void on_fatal_signal(int signal_number) {
    const char* what = signal_number == SIGSEGV ? "segmentation fault" : "abort";
    write_all("fatal signal: ", 14);
    write_all(what, std::strlen(what));
    write_all("\n", 1);

    const void* addresses[64];
    // Skip collect's own frame; the handler and the signal frame stay, so the
    // trace reads from here down through the faulting function.
    const std::size_t count = korvo::calltrail::detail::this_thread_frames::collect(addresses, 64, 1);
    korvo::calltrail::frame frames[64];
    for (std::size_t i = 0; i < count; ++i) frames[i] = korvo::calltrail::frame(addresses[i]);
    const std::string trace = korvo::calltrail::detail::to_string(frames, count);
    write_all(trace.data(), trace.size());

    // Die of the same signal, so that the parent or shell sees the real cause.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

inline void install_crash_handler() {
    // A stack of its own, so that a stack overflow can still be reported.
    static char alternate_stack[64 * 1024];
    stack_t stack{};
    stack.ss_sp = alternate_stack;
    stack.ss_size = sizeof alternate_stack;
    ::sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_handler = &on_fatal_signal;
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGSEGV, &action, nullptr);
    ::sigaction(SIGABRT, &action, nullptr);
}

} // namespace crash_handler

#endif
