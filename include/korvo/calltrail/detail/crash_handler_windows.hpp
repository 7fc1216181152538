#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_HANDLER_WINDOWS_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_HANDLER_WINDOWS_HPP

// The Windows side of crash_handler.hpp: an unhandled-exception filter and an
// abort handler that hand the report to a thread started when the handler is
// installed, and the terminate handler. The crashed thread only waits, so a
// stack overflow leaves it enough stack, and the wait is the watchdog.
// Include crash_handler.hpp, not this.

#if defined(_WIN32)

#include <korvo/calltrail/detail/crash_exceptions.hpp>
#include <korvo/calltrail/detail/crash_frames.hpp>
#include <korvo/calltrail/detail/crash_rendering.hpp>
#include <korvo/calltrail/detail/crash_settings.hpp>
#include <korvo/calltrail/detail/crash_text.hpp>
#include <korvo/calltrail/detail/windows_api.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>

namespace korvo {
namespace calltrail {
namespace crash_detail {

// What abort() ends a process with.
const unsigned long abort_exit_code = 3;

enum report_phase { idle, reporting, reported };

struct handler_state {
    std::atomic<unsigned long> reporting_thread; // 0 while no thread reports
    std::atomic<unsigned long> reporter_thread;
    std::atomic<int> phase;
    std::atomic<unsigned long> exit_code;
    std::atomic<unsigned> watchdog_seconds;
    std::atomic<std::size_t> stack_size;
    std::atomic<bool> chain;
    std::atomic<bool> installed;
    windows_api::handle crashed;  // set by the crashed thread
    windows_api::handle reported; // set by the reporter
    const windows_api::exception_pointers* exception;
    // Walked on the crashed thread, once it reports: for abort(), and for an
    // exception where the reporter cannot unwind from its context.
    stack_walk walk;
    bool walked;
    windows_api::exception_filter previous_filter;
    void (*previous_abort)(int);
};

inline handler_state& state() {
    static handler_state shared;
    return shared;
}

inline const char* exception_description(unsigned long code) {
    switch (code) {
    case 0xc0000005u:
        return "access violation";
    case 0xc000001du:
        return "illegal instruction";
    case 0xc0000096u:
        return "privileged instruction";
    case 0xc0000094u:
        return "integer division by zero";
    case 0xc0000095u:
        return "integer overflow";
    case 0xc00000fdu:
        return "stack overflow";
    case 0xc0000006u:
        return "in-page error";
    case 0x80000002u:
        return "misaligned data";
    case 0x80000003u:
        return "breakpoint";
    case 0xc000008eu:
        return "floating-point division by zero";
    case 0xc0000090u:
        return "invalid floating-point operation";
    case abort_exit_code:
        return "abort";
    default:
        return "exception";
    }
}

// The module holding a code address, by its full path; Windows modules have
// no GNU build-id.
struct module_place {
    void* base;

    bool same_module(const module_place& other) const { return base == other.base; }
    std::uintptr_t offset(std::uintptr_t address) const { return address - reinterpret_cast<std::uintptr_t>(base); }

    void write_file(crash_line& line) const {
        char path[1024];
        const unsigned long size = ::GetModuleFileNameA(static_cast<HINSTANCE__*>(base), path, sizeof path);
        line.escaped(path, size < sizeof path ? size : sizeof path, true);
    }
    void write_build_id(crash_line& line) const { line.text("-"); }
};

struct windows_platform {
    typedef module_place place;

    static bool locate(std::uintptr_t address, module_place& place) {
        void* base = nullptr;
        if (::RtlPcToFileHeader(reinterpret_cast<void*>(address), &base) == nullptr || base == nullptr) return false;
        place.base = base;
        return true;
    }

    static const void* module_of(std::uintptr_t address) {
        module_place place;
        return locate(address, place) ? place.base : nullptr;
    }

    // Every frame a walk gives here is a return address.
    static void classify(const void* const* walked, std::size_t count, report_frame* out) {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = report_frame::return_address(reinterpret_cast<std::uintptr_t>(walked[i]));
    }

    static void write_rendered(const frame_section* const* sections, const char* const* titles, std::size_t count) {
        write_rendered_part(sections, titles, count);
    }
};

// The faulting thread's frames, from the context the exception left: the
// faulting instruction, then each return address; of a stack too deep to
// list, its top and its bottom. The unwinding functions of x64 read the
// context; elsewhere the crashed thread walks its own stack.
inline bool unwind_from(const windows_api::exception_pointers& exception, frame_section& section) {
#if defined(_M_X64) || defined(__x86_64__)
    typedef windows_api::lookup_function_entry lookup_type;
    typedef windows_api::virtual_unwind unwind_type;
    static const lookup_type lookup = windows_api::kernel_function<lookup_type>("RtlLookupFunctionEntry");
    static const unwind_type unwind = windows_api::kernel_function<unwind_type>("RtlVirtualUnwind");
    if (lookup == nullptr || unwind == nullptr || exception.context == nullptr) return false;
    windows_api::x64_context context = *static_cast<const windows_api::x64_context*>(exception.context);
    report_frame top[top_frames];
    report_frame bottom[bottom_frames]; // the last ones seen, round and round
    std::size_t depth = 0;
    while (context.rip() != 0 && depth < (std::size_t{1} << 24)) {
        const std::uint64_t pc = context.rip();
        const report_frame f =
            depth == 0 ? report_frame::at_instruction(pc, pc, false) : report_frame::return_address(pc);
        if (depth < top_frames) top[depth] = f;
        bottom[depth % bottom_frames] = f;
        ++depth;
        const std::uint64_t sp = context.rsp();
        std::uint64_t image_base = 0;
        void* function = lookup(pc, &image_base, nullptr);
        if (function == nullptr) {
            // A function without unwind information: a leaf, whose return
            // address is on top of the stack, or one that pushed a few
            // registers first (a stack probe): the first word that points
            // into a module.
            std::size_t slot = 0;
            while (slot < 4 && windows_platform::module_of(reinterpret_cast<const std::uint64_t*>(sp)[slot]) == nullptr)
                ++slot;
            if (slot == 4) slot = 0;
            context.set_rip(reinterpret_cast<const std::uint64_t*>(sp)[slot]);
            context.set_rsp(sp + 8 * (slot + 1));
        } else {
            void* handler_data = nullptr;
            std::uint64_t establisher = 0;
            unwind(0, image_base, pc, function, &context, &handler_data, &establisher, nullptr);
        }
        if (context.rsp() <= sp) break;
    }
    section.add_frames(top, depth < top_frames ? depth : top_frames, 0);
    if (depth <= top_frames) return true;
    const std::size_t kept = depth - top_frames < bottom_frames ? depth - top_frames : bottom_frames;
    if (depth - kept > top_frames) section.add_not_shown(top_frames, depth - kept - 1);
    report_frame deepest[bottom_frames];
    for (std::size_t i = 0; i < kept; ++i) deepest[i] = bottom[(depth - kept + i) % bottom_frames];
    section.add_frames(deepest, kept, depth - kept);
    return true;
#else
    (void)exception;
    (void)section;
    return false;
#endif
}

// The section of a walk the crashed thread made, from the frame that failed:
// the exception's address, or abort()'s caller below the C runtime's frames.
inline void section_from_walk(const handler_state& s, frame_section& section) {
    const stack_walk& walk = s.walk;
    // 0 in collect, 1 in run, 2 in the handler, 3 in its caller.
    std::size_t start = walk.top_count > 3 ? 3 : walk.top_count;
    report_frame first =
        report_frame::return_address(start < walk.top_count ? reinterpret_cast<std::uintptr_t>(walk.top[start]) : 0);
    std::size_t plumbing = 0;
    if (s.exception != nullptr) {
        const std::uintptr_t pc = reinterpret_cast<std::uintptr_t>(s.exception->record->address);
        for (std::size_t i = 0; i < walk.top_count; ++i)
            if (reinterpret_cast<std::uintptr_t>(walk.top[i]) == pc) {
                start = i;
                first = report_frame::at_instruction(pc, pc, false);
                break;
            }
    } else if (start < walk.top_count) {
        plumbing = plumbing_frames<windows_platform>(walk, start);
    }
    if (start < walk.top_count) fill_section<windows_platform>(section, walk, start, plumbing, first);
}

inline void write_report() {
    handler_state& s = state();
    const unsigned long code = s.exit_code.load();
    crash_line().text("fatal exception: ").text(exception_description(code)).end();
    crash_line line;
    line.text("code 0x").hex(code, 8);
    const windows_api::exception_pointers* exception = s.exception;
    if (exception != nullptr && code == 0xc0000005u && exception->record->parameter_count >= 2)
        line.text(", fault address ").address(exception->record->parameters[1]);
    line.text(", thread ").number(s.reporting_thread.load()).end();
    if (exception != nullptr) {
        const std::uintptr_t pc = reinterpret_cast<std::uintptr_t>(exception->record->address);
        line.text("interrupted at ").address(pc);
        module_place place;
        if (windows_platform::locate(pc, place)) {
            line.text(" ");
            place.write_file(line);
            line.text(" 0x").hex(place.offset(pc));
        }
        line.end();
    }
    frame_section section;
    if (s.walked || exception == nullptr || !unwind_from(*exception, section)) section_from_walk(s, section);
    module_list<module_place> modules;
    write_raw_frames<windows_platform>(section, "", modules);
    write_module_table(modules);
    const frame_section* sections[] = {&section};
    const char* titles[] = {""};
    windows_platform::write_rendered(sections, titles, 1);
}

// Started when the handler is installed; waits for a crash and reports it.
inline unsigned long __stdcall report_crashes(void*) {
    handler_state& s = state();
    ::WaitForSingleObject(s.crashed, windows_api::infinite);
    write_report();
    ::SetEvent(s.reported);
    return 0;
}

// Takes the report on: false when another thread has, or when this one
// crashes again inside it, which ends the process with the first code.
inline bool begin_report(unsigned long code) {
    handler_state& s = state();
    const unsigned long self = ::GetCurrentThreadId();
    unsigned long reporting = 0;
    if (s.reporting_thread.compare_exchange_strong(reporting, self)) {
        s.exit_code.store(code);
        s.phase.store(crash_detail::reporting);
        return true;
    }
    if ((reporting == self || self == s.reporter_thread.load()) && s.phase.load() == crash_detail::reporting) {
        crash_line().text("fatal exception 0x").hex(code, 8).text(" inside the crash report").end();
        ::TerminateProcess(::GetCurrentProcess(), s.exit_code.load());
    }
    if (reporting != self) ::Sleep(windows_api::infinite); // the reporting thread ends the process
    return false;
}

// Hands over the report, waits for it as long as the watchdog allows.
inline void hand_over_report() {
    handler_state& s = state();
    ::SetEvent(s.crashed);
    const unsigned long waited = ::WaitForSingleObject(s.reported, s.watchdog_seconds.load() * 1000);
    if (waited != 0)
        crash_line().text("crash report abandoned after ").number(s.watchdog_seconds.load()).text(" s").end();
    s.phase.store(crash_detail::reported);
}

inline long __stdcall on_unhandled_exception(_EXCEPTION_POINTERS* pointers) {
    handler_state& s = state();
    const windows_api::exception_pointers* exception =
        reinterpret_cast<const windows_api::exception_pointers*>(pointers);
    const unsigned long code = exception->record->code;
    if (begin_report(code)) {
        s.exception = exception;
#if !defined(_M_X64) && !defined(__x86_64__)
        s.walk.run();
        s.walked = true;
#endif
        hand_over_report();
    }
    if (s.chain.load() && s.previous_filter != nullptr) s.previous_filter(pointers);
    ::TerminateProcess(::GetCurrentProcess(), code);
    return windows_api::execute_handler;
}

// abort() raises SIGABRT on the aborting thread, without an exception. The
// frames are walked only once this thread reports: another one aborting at
// the same moment must not overwrite them.
inline void on_abort(int) {
    handler_state& s = state();
    // The C runtime puts back the default action as it calls this: a second
    // abort() would end the process at once, before the report.
    std::signal(SIGABRT, &on_abort);
    if (begin_report(abort_exit_code)) {
        s.exception = nullptr;
        s.walk.run();
        s.walked = true;
        hand_over_report();
    }
    void (*previous)(int) = s.previous_abort;
    if (s.chain.load() && previous != SIG_DFL && previous != SIG_IGN && previous != SIG_ERR && previous != nullptr)
        previous(SIGABRT);
    ::TerminateProcess(::GetCurrentProcess(), abort_exit_code);
}

} // namespace crash_detail

// Reports the uncaught exception on its own thread, then aborts as
// std::terminate would; the abort handler lets that through unreported.
inline void on_terminate_exception() {
    if (crash_detail::begin_report(crash_detail::abort_exit_code)) {
        crash_detail::write_terminate_report<crash_detail::windows_platform>();
        crash_detail::state().phase.store(crash_detail::reported);
    }
    std::abort();
}

// Keeps back enough of the calling thread's stack to report a stack
// overflow on it. install_crash_handler does it for the thread that calls it.
inline bool install_crash_stack_for_this_thread() {
    unsigned long size = static_cast<unsigned long>(crash_detail::state().stack_size.load());
    if (size == 0) size = static_cast<unsigned long>(crash_handler_settings().stack_size);
    return ::SetThreadStackGuarantee(&size) != 0;
}

// Reports unhandled exceptions, abort() and uncaught C++ exceptions, then
// hands over to the filter or abort handler installed before, if any, and
// ends the process with the exception's code (3 for abort). Call it once,
// early.
inline bool install_crash_handler(const crash_handler_settings& settings = crash_handler_settings()) {
    crash_detail::handler_state& s = crash_detail::state();
    s.watchdog_seconds.store(settings.watchdog_seconds != 0 ? settings.watchdog_seconds : 1);
    s.stack_size.store(settings.stack_size);
    s.chain.store(settings.chain_to_previous_handlers);
    crash_detail::report_destination& to = crash_detail::destination();
    const std::intptr_t out = settings.descriptor >= 0 ? ::_get_osfhandle(settings.descriptor) : -1;
    to.to_descriptor = settings.descriptor >= 0;
    to.descriptor = out != -1 && out != -2 ? reinterpret_cast<windows_api::handle>(out)
                                           : ::GetStdHandle(windows_api::standard_error_handle);
    to.writer = settings.writer;
    to.writer_context = settings.writer_context;
    to.configured = true;
    if (s.crashed == nullptr) {
        s.crashed = ::CreateEventW(nullptr, 1, 0, nullptr);
        s.reported = ::CreateEventW(nullptr, 1, 0, nullptr);
        unsigned long reporter = 0;
        const windows_api::handle thread =
            ::CreateThread(nullptr, 0, &crash_detail::report_crashes, nullptr, 0, &reporter);
        if (s.crashed == nullptr || s.reported == nullptr || thread == nullptr) return false;
        ::CloseHandle(thread);
        s.reporter_thread.store(reporter);
    }
    install_crash_stack_for_this_thread();
    const bool again = s.installed.exchange(true);
    const windows_api::exception_filter previous_filter =
        ::SetUnhandledExceptionFilter(&crash_detail::on_unhandled_exception);
    void (*previous_abort)(int) = std::signal(SIGABRT, &crash_detail::on_abort);
    // Installed again, the handler keeps what it found the first time.
    if (!again) {
        s.previous_filter = previous_filter;
        s.previous_abort = previous_abort;
    }
    std::set_terminate(&on_terminate_exception);
    return true;
}

} // namespace calltrail
} // namespace korvo

#endif // _WIN32

#endif
