#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_HANDLER_POSIX_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_HANDLER_POSIX_HPP

// The POSIX side of crash_handler.hpp: handlers for fatal signals, running on
// alternate stacks of their own. Include crash_handler.hpp, not this.

#if !defined(_WIN32)

#include <korvo/calltrail/calltrail.hpp>
#include <korvo/calltrail/detail/crash_text.hpp>

#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// _dl_find_object names the object holding an address without the loader's
// lock, so the raw part can name modules even when the crash interrupted the
// loader; glibc has it from 2.35.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 35))
#define KORVO_CALLTRAIL_HAVE_DL_FIND_OBJECT 1
#else
#define KORVO_CALLTRAIL_HAVE_DL_FIND_OBJECT 0
#endif

namespace korvo {
namespace calltrail {

struct crash_handler_settings {
    // The report must be done within this many seconds; then the process
    // dies of the signal it caught all the same.
    unsigned watchdog_seconds = 3;
    // Each thread's alternate stack, without its guard page. Rendering a
    // trace in a crashing process needs about 20 KiB (see the README).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    std::size_t stack_size = std::size_t{1024} * 1024; // sanitizers' frames are several times larger
#else
    std::size_t stack_size = std::size_t{64} * 1024;
#endif
};

namespace crash_detail {

const int fatal_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP};

// Process-wide. Trivially constructible, so that the first use needs no
// guard: the handler may be that first use.
struct handler_state {
    std::atomic<long> reporting_thread; // 0 while no thread reports
    std::atomic<int> reported_signal;
    std::atomic<unsigned> watchdog_seconds;
    std::atomic<std::size_t> stack_size;
    char program[1024]; // the executable's path: the loader knows it by no name
};

inline handler_state& state() {
    static handler_state shared;
    return shared;
}

inline long this_thread_id() { return static_cast<long>(::syscall(SYS_gettid)); }

inline const char* signal_description(int number) {
    switch (number) {
    case SIGSEGV:
        return "segmentation fault";
    case SIGBUS:
        return "bus error";
    case SIGFPE:
        return "arithmetic error";
    case SIGILL:
        return "illegal instruction";
    case SIGABRT:
        return "abort";
    case SIGTRAP:
        return "trace trap";
    default:
        return "signal";
    }
}

inline void set_action(int number, void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(number, &action, nullptr);
}

inline void unblock(int number) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, number);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// A fault inside the report must come back here, even where the handler
// runs with every signal blocked (as under ThreadSanitizer): a blocked fault
// would kill the process with its own signal, not the one reported.
inline void unblock_other_fatal_signals(int number) {
    sigset_t set;
    sigemptyset(&set);
    for (const int other : fatal_signals)
        if (other != number) sigaddset(&set, other);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Ends the process at once with the signal the report is about.
inline void die_now() {
    const int reported = state().reported_signal.load();
    for (const int number : fatal_signals) set_action(number, SIG_DFL);
    ::alarm(0);
    unblock(reported);
    ::raise(reported);
    ::_exit(128 + reported);
}

// The watchdog: the report took too long, most likely waiting on a lock that
// the crashed code held.
inline void on_watchdog(int) {
    crash_line().text("crash report abandoned after ").number(state().watchdog_seconds.load()).text(" s").end();
    die_now();
}

inline void start_watchdog() {
    set_action(SIGALRM, &on_watchdog);
    unblock(SIGALRM);
    ::alarm(state().watchdog_seconds.load());
}

// The file of the object holding a code address and the offset in it that
// addr2line takes: for a return address, that of the call before it, which
// may even lie in another object when the call ends a function.
inline bool locate(std::uintptr_t address, bool return_address, const char*& file, std::uintptr_t& offset) {
#if KORVO_CALLTRAIL_HAVE_DL_FIND_OBJECT
    const std::uintptr_t code = return_address ? address - 1 : address;
    dl_find_object found;
    if (::_dl_find_object(reinterpret_cast<void*>(code), &found) != 0 || found.dlfo_link_map == nullptr) return false;
    file = found.dlfo_link_map->l_name;
    if (file == nullptr || file[0] == '\0') file = state().program;
    offset = code - found.dlfo_link_map->l_addr;
    return true;
#else
    (void)address;
    (void)return_address;
    (void)file;
    (void)offset;
    return false;
#endif
}

inline void write_place(crash_line& line, std::uintptr_t address, bool return_address) {
    const char* file = nullptr;
    std::uintptr_t offset = 0;
    line.address(address);
    if (locate(address, return_address, file, offset)) line.text(" ").text(file).text(" 0x").hex(offset);
    line.end();
}

inline std::uintptr_t faulting_pc(const void* context) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
#else
    (void)uc;
    return 0;
#endif
}

// The part written with signal-safe calls alone: what happened, and every
// frame as an address, a file and an offset in it.
inline void write_raw_report(int number, const siginfo_t* info, const void* context, const void* const* addresses,
                             std::size_t count) {
    crash_line().text("fatal signal: ").text(signal_description(number)).end();
    crash_line line;
    line.text("signal ").number(static_cast<std::uint64_t>(number)).text(", code ");
    line.text(info->si_code < 0 ? "-" : "")
        .number(static_cast<std::uint64_t>(info->si_code < 0 ? -info->si_code : info->si_code));
    if (info->si_code > 0)
        line.text(", fault address ").address(reinterpret_cast<std::uintptr_t>(info->si_addr));
    else
        line.text(", sent by process ").number(static_cast<std::uint64_t>(info->si_pid));
    line.text(", thread ").number(static_cast<std::uint64_t>(this_thread_id())).end();
    const std::uintptr_t pc = faulting_pc(context);
    if (pc != 0) {
        line.text("interrupted at ");
        write_place(line, pc, false);
    }
    // Every frame but the interrupted one is a return address.
    crash_line().text("raw frames, each at its call (addr2line -e FILE OFFSET):").end();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(addresses[i]);
        line.text(i < 10 ? "  " : " ").number(i).text(" ");
        write_place(line, address, address != pc);
    }
}

// A fault inside the report: give up on it and end the process with the
// signal it was about.
inline void abandon_report(int number) {
    crash_line()
        .text("fatal signal ")
        .number(static_cast<std::uint64_t>(number))
        .text(" inside the crash report")
        .end();
    die_now();
}

// Another thread is reporting and will end the process; its watchdog bounds
// the wait.
inline void wait_for_the_end() {
    unblock(SIGALRM);
    for (;;) ::pause();
}

// An alternate stack with an inaccessible guard page below it, released when
// its thread ends.
class alternate_stack {
public:
    alternate_stack() = default;
    alternate_stack(const alternate_stack&) = delete;
    alternate_stack& operator=(const alternate_stack&) = delete;

    ~alternate_stack() {
        if (mapping_ == nullptr) return;
        stack_t current;
        if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == usable()) {
            stack_t off;
            std::memset(&off, 0, sizeof off);
            off.ss_flags = SS_DISABLE;
            ::sigaltstack(&off, nullptr);
        }
        ::munmap(mapping_, mapping_size_);
    }

    bool install(std::size_t size) {
        stack_t current;
        if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 && current.ss_size >= size)
            return true; // this thread already has a stack that is large enough
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t rounded = (size + page - 1) / page * page;
        void* mapping = ::mmap(nullptr, rounded + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) return false;
        stack_t stack;
        std::memset(&stack, 0, sizeof stack);
        stack.ss_sp = static_cast<char*>(mapping) + page;
        stack.ss_size = rounded;
        if (::mprotect(mapping, page, PROT_NONE) != 0 || ::sigaltstack(&stack, nullptr) != 0) {
            ::munmap(mapping, rounded + page);
            return false;
        }
        if (mapping_ != nullptr) ::munmap(mapping_, mapping_size_);
        mapping_ = mapping;
        mapping_size_ = rounded + page;
        page_ = page;
        return true;
    }

private:
    void* usable() const { return static_cast<char*>(mapping_) + page_; }

    void* mapping_ = nullptr;
    std::size_t mapping_size_ = 0;
    std::size_t page_ = 0;
};

} // namespace crash_detail

// Named without namespace, so that the trace shows the handler as
// "on_fatal_signal"; hidden, so that no two objects share it.
extern "C" __attribute__((visibility("hidden"))) inline void on_fatal_signal(int number, siginfo_t* info,
                                                                             void* context) {
    crash_detail::handler_state& s = crash_detail::state();
    const long self = crash_detail::this_thread_id();
    long reporting = 0;
    if (!s.reporting_thread.compare_exchange_strong(reporting, self)) {
        if (reporting == self) crash_detail::abandon_report(number);
        crash_detail::wait_for_the_end();
    }
    s.reported_signal.store(number);
    crash_detail::unblock_other_fatal_signals(number);
    crash_detail::start_watchdog();
    const void* addresses[crash_detail::most_frames];
    // Skips collect's own frame: the trace starts here, above the signal
    // frame and the code that faulted.
    const std::size_t count = detail::this_thread_frames::collect(addresses, crash_detail::most_frames, 1);
    crash_detail::write_raw_report(number, info, context, addresses, count);
    crash_detail::write_rendered_trace(addresses, count);
    // The signal stays blocked until this handler returns, then kills the
    // process where it was interrupted: exit status and core dump are the
    // fault's.
    ::alarm(0);
    crash_detail::set_action(number, SIG_DFL);
    ::raise(number);
}

// Gives the calling thread an alternate stack of its own, with a guard page,
// so that the handler can report a stack overflow on it. Call it first thing
// on every thread; install_crash_handler does it for the thread that calls
// it. Released when the thread ends.
inline bool install_crash_stack_for_this_thread() {
    static thread_local crash_detail::alternate_stack stack;
    const std::size_t size = crash_detail::state().stack_size.load();
    return stack.install(size != 0 ? size : crash_handler_settings().stack_size);
}

// Reports SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and SIGTRAP on standard
// error, then lets the process die of the signal. Call it once, early; it
// replaces the handlers of those signals. False when a stack or a handler
// could not be set up.
inline bool install_crash_handler(const crash_handler_settings& settings = crash_handler_settings()) {
    crash_detail::handler_state& s = crash_detail::state();
    s.watchdog_seconds.store(settings.watchdog_seconds != 0 ? settings.watchdog_seconds : 1);
    s.stack_size.store(settings.stack_size);
    const ssize_t length = ::readlink("/proc/self/exe", s.program, sizeof s.program - 1);
    s.program[length > 0 ? length : 0] = '\0';
    if (!install_crash_stack_for_this_thread()) return false;
    // Binds every call the handler makes into calltrail and the loader, so
    // that none is first resolved in a crashing process.
    const void* warm[1];
    detail::this_thread_frames::collect(warm, 1, 0);
    const char* file = nullptr;
    std::uintptr_t offset = 0;
    crash_detail::locate(reinterpret_cast<std::uintptr_t>(warm[0]), true, file, offset);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = &on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int number : crash_detail::fatal_signals)
        if (::sigaction(number, &action, nullptr) != 0) return false;
    return true;
}

} // namespace calltrail
} // namespace korvo

#endif // !_WIN32

#endif
