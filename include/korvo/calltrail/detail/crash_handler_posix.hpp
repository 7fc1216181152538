#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_HANDLER_POSIX_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_HANDLER_POSIX_HPP

// The POSIX side of crash_handler.hpp: handlers for fatal signals, running on
// alternate stacks of their own, and the terminate handler. Include
// crash_handler.hpp, not this.

#if !defined(_WIN32)

#include <korvo/calltrail/detail/crash_exceptions.hpp>
#include <korvo/calltrail/detail/crash_frames.hpp>
#include <korvo/calltrail/detail/crash_out_of_process.hpp>
#include <korvo/calltrail/detail/crash_rendering.hpp>
#include <korvo/calltrail/detail/crash_settings.hpp>
#include <korvo/calltrail/detail/crash_text.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

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
namespace crash_detail {

const int fatal_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP};
const std::size_t fatal_signal_count = sizeof fatal_signals / sizeof fatal_signals[0];

enum report_phase { idle, reporting, reported, in_previous_handler };

// Process-wide. Trivially constructible, so that the first use needs no
// guard: a handler may be that first use.
struct handler_state {
    std::atomic<long> reporting_thread; // 0 while no thread reports
    std::atomic<int> phase;
    std::atomic<int> reported_signal;
    std::atomic<unsigned> watchdog_seconds;
    std::atomic<std::size_t> stack_size;
    std::atomic<bool> chain;
    std::atomic<bool> installed;
    struct sigaction previous[fatal_signal_count];
    char program[4096]; // the executable's path: the loader knows it by no name
};

inline handler_state& state() {
    static handler_state shared;
    return shared;
}

inline long this_thread_id() { return static_cast<long>(::syscall(SYS_gettid)); }

inline std::size_t index_of(int number) {
    for (std::size_t i = 0; i < fatal_signal_count; ++i)
        if (fatal_signals[i] == number) return i;
    return fatal_signal_count;
}

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

inline void set_blocked(int number, bool blocked) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, number);
    ::pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// A fault inside the report must come back here, even one of the signal
// being reported, and even where the handler runs with every signal blocked
// (as under ThreadSanitizer): a blocked fault kills the process unannounced.
inline void unblock_fatal_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : fatal_signals) sigaddset(&set, number);
    sigaddset(&set, SIGALRM);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Ends the process at once with the signal the report is about.
inline void die_now(int number) {
    stop_renderer();
    for (const int fatal : fatal_signals) set_action(fatal, SIG_DFL);
    ::alarm(0);
    set_blocked(number, false);
    ::raise(number);
    ::_exit(128 + number);
}

// Copies memory that may not be there: false, not a fault, when it is not.
inline bool read_memory(void* to, std::uintptr_t from, std::size_t size) {
    if (from == 0 || from + size < from) return false;
    iovec local = {to, size};
    iovec remote = {reinterpret_cast<void*>(from), size};
    const ssize_t got = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    if (got >= 0) return static_cast<std::size_t>(got) == size;
    if (errno == EFAULT) return false;
    // Where that call is not allowed, a pipe tells the same.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    const bool read = ::write(ends[1], reinterpret_cast<const void*>(from), size) == static_cast<ssize_t>(size) &&
                      ::read(ends[0], to, size) == static_cast<ssize_t>(size);
    ::close(ends[0]);
    ::close(ends[1]);
    return read;
}

// The watchdog: the report took too long, most likely waiting on a lock that
// the crashed code held.
inline void on_watchdog(int) {
    crash_line().text("crash report abandoned after ").number(state().watchdog_seconds.load()).text(" s").end();
    die_now(state().reported_signal.load());
}

inline void start_watchdog() {
    set_action(SIGALRM, &on_watchdog);
    ::alarm(state().watchdog_seconds.load());
}

// Where a module that a frame names is: its loader's entry, where it is
// mapped and by how much it was moved.
struct module_place {
    const void* module;
    std::uintptr_t mapped_at;
    std::uintptr_t bias;
    std::uintptr_t name;

    bool same_module(const module_place& other) const { return module == other.module; }
    std::uintptr_t offset(std::uintptr_t address) const { return address - bias; }

    // Read piece by piece: the loader's memory is not trusted either.
    void write_file(crash_line& line) const {
        char piece[64];
        if (name == 0 || (read_memory(piece, name, 1) && piece[0] == '\0')) {
            line.escaped(state().program, true);
            return;
        }
        if (!read_memory(piece, name, 1)) {
            line.text("?"); // a line still names a file before its offset
            return;
        }
        for (std::uintptr_t at = name; at != 0 && at - name < 4096; at += sizeof piece) {
            // A piece may end past the mapping the text lies in: then bytes
            // are read one at a time.
            std::size_t got = sizeof piece;
            if (!read_memory(piece, at, got)) {
                for (got = 0; got < sizeof piece && read_memory(piece + got, at + got, 1); ++got)
                    if (piece[got] == '\0') break;
            }
            std::size_t size = 0;
            while (size < got && piece[size] != '\0') ++size;
            line.escaped(piece, size, true);
            if (size < sizeof piece) return;
        }
    }

    // The GNU build-id from the loaded image's notes, or "-".
    void write_build_id(crash_line& line) const {
        unsigned char id[64];
        const std::size_t size = build_id(id, sizeof id);
        if (size == 0) line.text("-");
        for (std::size_t i = 0; i < size; ++i) line.hex(id[i], 2);
    }

    std::size_t build_id(unsigned char* id, std::size_t most) const {
        ElfW(Ehdr) header;
        if (!read_memory(&header, mapped_at, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
            header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum > 256)
            return 0;
        for (std::size_t i = 0; i < header.e_phnum; ++i) {
            ElfW(Phdr) segment;
            if (!read_memory(&segment, mapped_at + header.e_phoff + i * sizeof segment, sizeof segment)) return 0;
            if (segment.p_type != PT_NOTE) continue;
            const std::uintptr_t notes = bias + segment.p_vaddr;
            for (std::uintptr_t at = notes; at + 12 <= notes + segment.p_filesz;) {
                std::uint32_t note[3]; // name size, description size, type
                char owner[4];
                if (!read_memory(note, at, sizeof note)) break;
                const std::uintptr_t name_at = at + 12;
                const std::uintptr_t description = name_at + ((note[0] + 3u) & ~3u);
                if (note[2] == NT_GNU_BUILD_ID && note[0] == 4 && read_memory(owner, name_at, 4) &&
                    std::memcmp(owner, "GNU", 4) == 0 && note[1] > 0 && note[1] <= most)
                    return read_memory(id, description, note[1]) ? note[1] : 0;
                at = description + ((note[1] + 3u) & ~3u);
            }
        }
        return 0;
    }
};

// What the report needs of the platform.
struct posix_platform {
    typedef module_place place;

    static bool locate(std::uintptr_t address, module_place& place) {
#if KORVO_CALLTRAIL_HAVE_DL_FIND_OBJECT
        dl_find_object found;
        link_map entry;
        if (::_dl_find_object(reinterpret_cast<void*>(address), &found) != 0 || found.dlfo_link_map == nullptr ||
            !read_memory(&entry, reinterpret_cast<std::uintptr_t>(found.dlfo_link_map), sizeof entry))
            return false;
        place.module = found.dlfo_link_map;
        place.mapped_at = reinterpret_cast<std::uintptr_t>(found.dlfo_map_start);
        place.bias = entry.l_addr;
        place.name = reinterpret_cast<std::uintptr_t>(entry.l_name);
        return true;
#else
        (void)address;
        (void)place;
        return false;
#endif
    }

    static const void* module_of(std::uintptr_t address) {
        module_place place;
        return locate(address, place) ? place.module : nullptr;
    }

    static void classify(const void* const* walked, std::size_t count, report_frame* out);
    static void write_rendered(const frame_section* const* sections, const char* const* titles, std::size_t count);
};

// Where the code of the sigreturn trampoline is: the frame after it was
// interrupted by a signal, and holds the instruction it was at.
inline bool is_signal_return(std::uintptr_t address) {
#if defined(__x86_64__) || defined(__aarch64__)
#if defined(__x86_64__)
    static const unsigned char code[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05}; // rt_sigreturn
#else
    static const unsigned char code[] = {0x68, 0x11, 0x80, 0xd2, 0x01, 0x00, 0x00, 0xd4}; // mov x8, 139; svc 0
#endif
    unsigned char bytes[sizeof code];
    return read_memory(bytes, address, sizeof bytes) && std::memcmp(bytes, code, sizeof code) == 0;
#else
    (void)address;
    return false;
#endif
}

// A one-byte instruction after which its function need not go on: the next
// function may start right after it.
inline bool may_end_function(std::uintptr_t instruction) {
#if defined(__x86_64__)
    unsigned char byte = 0;
    if (!read_memory(&byte, instruction, 1)) return false;
    return byte == 0xc3 || byte == 0xcb || byte == 0xcf || byte == 0xf4 || byte == 0xcc; // ret, retf, iret, hlt, int3
#else
    (void)instruction; // instructions there are longer than one byte
    return false;
#endif
}

inline report_frame interrupted_frame(std::uintptr_t pc) {
    return report_frame::at_instruction(pc, pc, may_end_function(pc));
}

// Each frame after a signal's trampoline holds the instruction it was at.
inline void posix_platform::classify(const void* const* walked, std::size_t count, report_frame* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(walked[i]);
        const bool after_signal = i > 0 && is_signal_return(reinterpret_cast<std::uintptr_t>(walked[i - 1]));
        out[i] = after_signal ? interrupted_frame(address) : report_frame::return_address(address);
    }
}

inline std::uintptr_t context_pc(const void* context) {
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

inline std::uintptr_t context_sp(const void* context) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.sp);
#else
    (void)uc;
    return 0;
#endif
}

// Sent by this process (raise, abort, kill of itself), not by a fault.
inline bool raised_here(const siginfo_t* info) { return info->si_code <= 0 && info->si_pid == ::getpid(); }

// The frame a signal interrupted. After int3 the processor reports the next
// instruction: the frame is at the int3 before it.
inline report_frame failing_frame(int number, const siginfo_t* info, std::uintptr_t pc) {
#if defined(__x86_64__)
    if (number == SIGTRAP && (info->si_code == SI_KERNEL || info->si_code == TRAP_BRKPT)) {
        unsigned char before[2] = {0, 0};
        if (read_memory(before + 1, pc - 1, 1) && before[1] == 0xcc)
            return report_frame::at_instruction(pc, pc - 1, true);
        if (read_memory(before, pc - 2, 2) && before[0] == 0xcd && before[1] == 0x03)
            return report_frame::at_instruction(pc, pc - 2, false);
        return report_frame::return_address(pc);
    }
#else
    (void)number;
    (void)info;
#endif
    return interrupted_frame(pc);
}

inline void write_signal_header(int number, const siginfo_t* info, const void* context, const report_frame& failing) {
    crash_line().text("fatal signal: ").text(signal_description(number)).end();
    crash_line line;
    line.text("signal ").number(static_cast<std::uint64_t>(number)).text(", code ").signed_number(info->si_code);
    if (info->si_code > 0) {
        const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        line.text(", fault address ").address(address);
        const std::uintptr_t sp = context_sp(context);
        // Within a guard page's reach of the stack pointer.
        if (number == SIGSEGV && sp != 0 && address + 65536 > sp && address < sp + 65536)
            line.text(" (beside the stack pointer: stack overflow)");
    } else {
        line.text(", sent by process ").number(static_cast<std::uint64_t>(info->si_pid));
    }
    line.text(", thread ").number(static_cast<std::uint64_t>(this_thread_id())).end();
    line.text("interrupted at ").address(failing.address);
    module_place place;
    if (posix_platform::locate(failing.lookup, place)) {
        line.text(" ");
        place.write_file(line);
        line.text(" 0x").hex(place.offset(failing.lookup));
    }
    line.end();
}

// An allocation failed while rendering: what was written stays.
inline void on_rendering_out_of_memory() {
    crash_line().text("(out of memory while rendering the trace)").end();
    die_now(state().reported_signal.load());
}

inline void posix_platform::write_rendered(const frame_section* const* sections, const char* const* titles,
                                           std::size_t count) {
    // The program titles the sections itself when there are several.
    if (rendered_out_of_process(count > 1)) return;
    const std::new_handler previous = std::set_new_handler(&on_rendering_out_of_memory);
    write_rendered_part(sections, titles, count);
    std::set_new_handler(previous);
}

// The whole report of a signal. The frames section is walked from here, so
// the handler's own frames come first; the report starts at the frame the
// signal interrupted.
KORVO_CALLTRAIL_CRASH_NOINLINE inline void write_signal_report(int number, const siginfo_t* info, const void* context) {
    const std::uintptr_t pc = context_pc(context);
    const report_frame failing = failing_frame(number, info, pc);
    write_signal_header(number, info, context, failing);
    stack_walk walk;
    walk.run();
    std::size_t start = 0;
    while (start < walk.top_count && reinterpret_cast<std::uintptr_t>(walk.top[start]) != pc) ++start;
    frame_section section;
    if (start == walk.top_count) {
        // The walk did not get past the signal frame: the context alone.
        section.add_frames(&failing, 1, 0);
    } else {
        const std::size_t plumbing = raised_here(info) ? plumbing_frames<posix_platform>(walk, start) : 0;
        fill_section<posix_platform>(section, walk, start, plumbing, failing);
    }
    module_list<module_place> modules;
    write_raw_frames<posix_platform>(section, "", modules);
    write_module_table(modules);
    const frame_section* sections[] = {&section};
    const char* titles[] = {""};
    posix_platform::write_rendered(sections, titles, 1);
    KORVO_CALLTRAIL_CRASH_KEEP_FRAME();
}

// Hands the signal to the handler that was there before, as the kernel
// would have: its mask, and its action in place while it runs.
inline void call_previous_handler(int number, siginfo_t* info, void* context) {
    const std::size_t i = index_of(number);
    handler_state& s = state();
    if (i == fatal_signal_count || !s.chain.load()) return;
    const struct sigaction previous = s.previous[i];
    if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) return;
    const bool with_info = (previous.sa_flags & SA_SIGINFO) != 0;
    s.phase.store(in_previous_handler);
    ::sigaction(number, &previous, nullptr);
    sigset_t mask = static_cast<const ucontext_t*>(context)->uc_sigmask;
    for (int other = 1; other < NSIG; ++other)
        if (sigismember(&previous.sa_mask, other) == 1) sigaddset(&mask, other);
    if ((previous.sa_flags & SA_NODEFER) == 0) sigaddset(&mask, number);
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    if (with_info)
        previous.sa_sigaction(number, info, context);
    else
        previous.sa_handler(number);
}

// After the report: the previous handler, then the default action. The
// signal stays blocked until this handler returns, then kills the process
// where it was interrupted: exit status and core dump are the fault's.
inline void end_process(int number, siginfo_t* info, void* context) {
    ::alarm(0);
    call_previous_handler(number, info, context);
    set_blocked(number, true);
    set_action(number, SIG_DFL);
    ::raise(number);
}

// Another thread is reporting and will end the process; its watchdog bounds
// the wait.
inline void wait_for_the_end() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGALRM);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    for (;;) ::pause();
}

// Takes the report on, or says why not: true when this thread is to write it.
inline bool begin_report(int number, bool& already_reported) {
    handler_state& s = state();
    const long self = this_thread_id();
    long reporting = 0;
    already_reported = false;
    if (s.reporting_thread.compare_exchange_strong(reporting, self)) {
        s.reported_signal.store(number);
        s.phase.store(crash_detail::reporting);
        start_raw_copy();
        unblock_fatal_signals();
        start_watchdog();
        return true;
    }
    if (reporting != self) wait_for_the_end();
    const int phase = s.phase.load();
    if (phase == crash_detail::reporting) {
        // A fault inside the report: what was written stays.
        crash_line()
            .text("fatal signal ")
            .number(static_cast<std::uint64_t>(number))
            .text(" inside the crash report")
            .end();
        die_now(s.reported_signal.load());
    }
    // The previous handler ends the process its own way; and the abort that
    // follows a terminate report needs no second report.
    if (phase == crash_detail::in_previous_handler) die_now(number);
    already_reported = true;
    return false;
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

// Named without namespace, so that a trace through it says what it is;
// hidden, so that no two objects share it.
extern "C" __attribute__((visibility("hidden"))) inline void on_fatal_signal(int number, siginfo_t* info,
                                                                             void* context) {
    bool already_reported = false;
    if (crash_detail::begin_report(number, already_reported)) {
        crash_detail::write_signal_report(number, info, context);
        crash_detail::state().phase.store(crash_detail::reported);
    }
    crash_detail::end_process(number, info, context);
}

// Reports the uncaught exception, then ends the process as std::terminate
// would, with abort(): the signal handler lets that through unreported.
extern "C" __attribute__((visibility("hidden"))) inline void on_terminate() {
    bool already_reported = false;
    if (crash_detail::begin_report(SIGABRT, already_reported)) {
        crash_detail::write_terminate_report<crash_detail::posix_platform>();
        crash_detail::state().phase.store(crash_detail::reported);
        ::alarm(0);
    }
    std::abort();
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

// Reports SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP and uncaught
// exceptions, then hands the signal to the handler installed before, if any,
// and lets the process die of it. Call it once, early. False when a stack, a
// handler or what rendering out of process needs could not be set up.
inline bool install_crash_handler(const crash_handler_settings& settings = crash_handler_settings()) {
    crash_detail::handler_state& s = crash_detail::state();
    s.watchdog_seconds.store(settings.watchdog_seconds != 0 ? settings.watchdog_seconds : 1);
    s.stack_size.store(settings.stack_size);
    s.chain.store(settings.chain_to_previous_handlers);
    crash_detail::report_destination& to = crash_detail::destination();
    to.to_descriptor = settings.descriptor >= 0;
    to.descriptor = settings.descriptor;
    to.writer = settings.writer;
    to.writer_context = settings.writer_context;
    to.configured = true;
    const ssize_t length = ::readlink("/proc/self/exe", s.program, sizeof s.program - 1);
    s.program[length > 0 ? length : 0] = '\0';
    if (!install_crash_stack_for_this_thread()) return false;
    // Without its mapping, the trace is rendered in the process.
    const bool renderer_ready =
        crash_detail::prepare_renderer(settings.render_out_of_process, settings.symbolizer_program);
    // Binds every call the handler makes into calltrail and the loader, so
    // that none is first resolved in a crashing process.
    crash_detail::stack_walk warm;
    warm.run();
    crash_detail::module_place place;
    crash_detail::posix_platform::locate(reinterpret_cast<std::uintptr_t>(warm.top[0]), place);
    crash_detail::is_signal_return(reinterpret_cast<std::uintptr_t>(warm.top[0]));
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = &on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    const bool again = s.installed.exchange(true);
    for (std::size_t i = 0; i < crash_detail::fatal_signal_count; ++i) {
        struct sigaction previous;
        if (::sigaction(crash_detail::fatal_signals[i], &action, &previous) != 0) return false;
        // Installed again, the handler keeps what it found the first time.
        if (!again) s.previous[i] = previous;
    }
    std::set_terminate(&on_terminate);
    return renderer_ready;
}

} // namespace calltrail
} // namespace korvo

#endif // !_WIN32

#endif
