#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_HANDLER_WINDOWS_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_HANDLER_WINDOWS_HPP

// The Windows side of crash_handler.hpp: an unhandled-exception filter and an
// abort handler that hand the report to a thread started when the handler is
// installed. The crashed thread only waits, so a stack overflow leaves it
// enough stack, and the wait is the watchdog. Include crash_handler.hpp, not
// this.

#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <korvo/calltrail/calltrail.hpp>
#include <korvo/calltrail/detail/crash_text.hpp>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace korvo {
namespace calltrail {

struct crash_handler_settings {
    // The report must be done within this many seconds; then the process
    // ends with the exception's code all the same.
    unsigned watchdog_seconds = 3;
    // Stack each thread keeps back for handling a stack overflow.
    std::size_t stack_size = std::size_t{64} * 1024;
};

namespace crash_detail {

// What abort() ends a process with.
const DWORD abort_exit_code = 3;

struct handler_state {
    std::atomic<DWORD> reporting_thread; // 0 while no thread reports
    std::atomic<DWORD> reporter_thread;
    std::atomic<DWORD> exit_code;
    std::atomic<unsigned> watchdog_seconds;
    std::atomic<std::size_t> stack_size;
    HANDLE crashed;  // set by the crashed thread
    HANDLE reported; // set by the reporter
    const EXCEPTION_POINTERS* exception;
    const void* addresses[most_frames];
    std::size_t count;
};

inline handler_state& state() {
    static handler_state shared;
    return shared;
}

inline const char* exception_description(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
        return "access violation";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
        return "illegal instruction";
    case EXCEPTION_PRIV_INSTRUCTION:
        return "privileged instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        return "integer division by zero";
    case EXCEPTION_INT_OVERFLOW:
        return "integer overflow";
    case EXCEPTION_STACK_OVERFLOW:
        return "stack overflow";
    case EXCEPTION_IN_PAGE_ERROR:
        return "in-page error";
    case EXCEPTION_DATATYPE_MISALIGNMENT:
        return "misaligned data";
    case EXCEPTION_BREAKPOINT:
        return "breakpoint";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        return "floating-point division by zero";
    case EXCEPTION_FLT_INVALID_OPERATION:
        return "invalid floating-point operation";
    case abort_exit_code:
        return "abort";
    default:
        return "exception";
    }
}

// The module holding a code address, by its full path, and the address's
// offset in it; for a return address, the offset of the call before it.
inline void write_place(crash_line& line, std::uintptr_t address, bool return_address) {
    const std::uintptr_t code = return_address ? address - 1 : address;
    void* base = nullptr;
    char path[MAX_PATH];
    line.address(address);
    if (RtlPcToFileHeader(reinterpret_cast<void*>(code), &base) != nullptr &&
        GetModuleFileNameA(static_cast<HMODULE>(base), path, MAX_PATH) != 0)
        line.text(" ").text(path).text(" 0x").hex(code - reinterpret_cast<std::uintptr_t>(base));
    line.end();
}

// The faulting thread's frames, from the context the exception left: the
// faulting instruction first, then each return address.
inline std::size_t frames_from(const CONTEXT& faulting, const void** addresses, std::size_t most) {
#if defined(_M_X64) || defined(__x86_64__)
    CONTEXT context = faulting;
    std::size_t count = 0;
    while (count < most && context.Rip != 0) {
        addresses[count++] = reinterpret_cast<const void*>(context.Rip);
        const DWORD64 sp = context.Rsp;
        DWORD64 image_base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &image_base, nullptr);
        if (function == nullptr) {
            // A leaf function: its return address is on top of the stack.
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += 8;
        } else {
            void* handler_data = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context.Rip, function, &context, &handler_data,
                             &establisher, nullptr);
        }
        if (context.Rsp <= sp) break;
    }
    return count;
#else
    (void)faulting;
    return detail::this_thread_frames::collect(addresses, most, 0);
#endif
}

inline void write_raw_report(DWORD code, const EXCEPTION_POINTERS* exception, const void* const* addresses,
                             std::size_t count) {
    crash_line().text("fatal exception: ").text(exception_description(code)).end();
    crash_line line;
    line.text("code 0x").hex(code, 8);
    if (code == EXCEPTION_ACCESS_VIOLATION && exception != nullptr && exception->ExceptionRecord->NumberParameters >= 2)
        line.text(", fault address ").address(exception->ExceptionRecord->ExceptionInformation[1]);
    line.text(", thread ").number(state().reporting_thread.load()).end();
    if (exception != nullptr) {
        line.text("interrupted at ");
        write_place(line, reinterpret_cast<std::uintptr_t>(exception->ExceptionRecord->ExceptionAddress), false);
    }
    crash_line().text("raw frames, each at its call (FILE and the offset from its load address):").end();
    for (std::size_t i = 0; i < count; ++i) {
        line.text(i < 10 ? "  " : " ").number(i).text(" ");
        // From an exception's context the first frame is the faulting one.
        write_place(line, reinterpret_cast<std::uintptr_t>(addresses[i]), exception == nullptr || i > 0);
    }
}

// Started when the handler is installed; waits for a crash and reports it.
inline DWORD WINAPI report_crashes(void*) {
    handler_state& s = state();
    WaitForSingleObject(s.crashed, INFINITE);
    std::size_t count = s.count;
    if (s.exception != nullptr) count = frames_from(*s.exception->ContextRecord, s.addresses, most_frames);
    write_raw_report(s.exit_code.load(), s.exception, s.addresses, count);
    write_rendered_trace(s.addresses, count);
    SetEvent(s.reported);
    return 0;
}

// Runs on the crashed thread: hands over the report, waits for it as long as
// the watchdog allows, and ends the process.
inline void report_and_end(DWORD code, const EXCEPTION_POINTERS* exception) {
    handler_state& s = state();
    const DWORD self = GetCurrentThreadId();
    DWORD reporting = 0;
    // A crash while another is reported, or inside the report itself.
    if (!s.reporting_thread.compare_exchange_strong(reporting, self)) {
        if (reporting == self || self == s.reporter_thread.load()) TerminateProcess(GetCurrentProcess(), s.exit_code);
        Sleep(INFINITE);
    }
    s.exit_code.store(code);
    s.exception = exception;
    SetEvent(s.crashed);
    WaitForSingleObject(s.reported, s.watchdog_seconds.load() * 1000);
    TerminateProcess(GetCurrentProcess(), code);
}

inline LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* exception) {
    report_and_end(exception->ExceptionRecord->ExceptionCode, exception);
    return EXCEPTION_EXECUTE_HANDLER;
}

// abort() raises SIGABRT on the aborting thread, without an exception.
inline void on_abort(int) {
    handler_state& s = state();
    // Skips collect's own frame: the trace starts here, in the handler.
    s.count = detail::this_thread_frames::collect(s.addresses, most_frames, 1);
    report_and_end(abort_exit_code, nullptr);
}

} // namespace crash_detail

// Keeps back enough of the calling thread's stack to report a stack
// overflow on it. install_crash_handler does it for the thread that calls it.
inline bool install_crash_stack_for_this_thread() {
    ULONG size = static_cast<ULONG>(crash_detail::state().stack_size.load());
    if (size == 0) size = static_cast<ULONG>(crash_handler_settings().stack_size);
    return SetThreadStackGuarantee(&size) != 0;
}

// Reports unhandled exceptions and abort() on standard error, then ends the
// process with the exception's code (3 for abort). Call it once, early.
inline bool install_crash_handler(const crash_handler_settings& settings = crash_handler_settings()) {
    crash_detail::handler_state& s = crash_detail::state();
    s.watchdog_seconds.store(settings.watchdog_seconds != 0 ? settings.watchdog_seconds : 1);
    s.stack_size.store(settings.stack_size);
    if (s.crashed == nullptr) {
        s.crashed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        s.reported = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD reporter = 0;
        const HANDLE thread = CreateThread(nullptr, 0, &crash_detail::report_crashes, nullptr, 0, &reporter);
        if (s.crashed == nullptr || s.reported == nullptr || thread == nullptr) return false;
        CloseHandle(thread);
        s.reporter_thread.store(reporter);
    }
    install_crash_stack_for_this_thread();
    SetUnhandledExceptionFilter(&crash_detail::on_unhandled_exception);
    std::signal(SIGABRT, &crash_detail::on_abort);
    return true;
}

} // namespace calltrail
} // namespace korvo

#endif // _WIN32

#endif
