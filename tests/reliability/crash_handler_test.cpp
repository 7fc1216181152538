// The crash handler, in children that really crash: each report must start
// at the frame that failed and name it right, fold what repeats, explain an
// uncaught exception, keep what it wrote when it faults itself, reach every
// destination, and leave the process to the handler that was there before.
#include <korvo/calltrail/crash_handler.hpp>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "reliability/support/child_process.hpp"
#include "reliability/support/faulting_allocation.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CALLTRAIL_TEST_SANITIZED 1
#else
#define CALLTRAIL_TEST_SANITIZED 0
#endif

// Out of line, with code after each call, so that each keeps its frame and
// every return address lies inside the function that made the call. The
// faults are the point, so the undefined-behaviour checker must let them be.
volatile int* volatile reliability_null = nullptr;

extern "C" __attribute__((noinline, no_sanitize("undefined"))) void reliability_faulting_function() {
    *reliability_null = 42;
    __asm__ __volatile__("" ::: "memory");
}

// abort through a pointer the compiler cannot see through, so that the call
// is not the function's last instruction.
void (*volatile reliability_abort)() = &std::abort;

extern "C" __attribute__((noinline)) void reliability_aborting_function() {
    reliability_abort();
    __asm__ __volatile__("" ::: "memory");
}

volatile int reliability_zero = 0;
volatile int reliability_dividend = 7;

extern "C" __attribute__((noinline, no_sanitize("undefined"))) void reliability_dividing_function() {
    reliability_dividend = reliability_dividend / reliability_zero;
    __asm__ __volatile__("" ::: "memory");
}

extern "C" __attribute__((noinline)) void reliability_illegal_function() {
#if defined(__aarch64__)
    __asm__ __volatile__("udf #0");
#else
    __asm__ __volatile__("ud2");
#endif
    __asm__ __volatile__("" ::: "memory");
}

extern "C" __attribute__((noinline)) void reliability_breakpoint_function() {
#if defined(__aarch64__)
    __asm__ __volatile__("brk #0");
#else
    __asm__ __volatile__("int3");
#endif
    __asm__ __volatile__("" ::: "memory");
}

// A shared mapping of an empty file: its page exists, the file behind it not.
extern "C" __attribute__((noinline)) void reliability_bus_error_function() {
    const int file = memfd_create("calltrail-empty", 0);
    auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0));
    page[0] = 1;
    __asm__ __volatile__("" ::: "memory");
}

#if defined(__x86_64__)
// Laid out by hand, one right after the other: a function that ends in a call
// that does not return; one whose first instruction faults; one whose last,
// a one-byte ret, faults (its return address is not canonical) with another
// function starting right after it.
extern "C" void reliability_ends_in_exit();
extern "C" void reliability_faults_first_thing();
extern "C" void reliability_faults_at_its_ret();
__asm__(".text\n"
        ".globl reliability_ends_in_exit\n"
        ".type reliability_ends_in_exit, @function\n"
        "reliability_ends_in_exit:\n"
        ".cfi_startproc\n"
        "  subq $8, %rsp\n"
        ".cfi_adjust_cfa_offset 8\n"
        "  xorl %edi, %edi\n"
        "  call _exit@PLT\n"
        ".cfi_endproc\n"
        ".size reliability_ends_in_exit, .-reliability_ends_in_exit\n"
        ".globl reliability_faults_first_thing\n"
        ".type reliability_faults_first_thing, @function\n"
        "reliability_faults_first_thing:\n"
        ".cfi_startproc\n"
        "  movl $1, 0\n"
        "  ret\n"
        ".cfi_endproc\n"
        ".size reliability_faults_first_thing, .-reliability_faults_first_thing\n"
        ".globl reliability_faults_at_its_ret\n"
        ".type reliability_faults_at_its_ret, @function\n"
        "reliability_faults_at_its_ret:\n"
        ".cfi_startproc\n"
        "  movabsq $0x8000000000000000, %rax\n"
        "  pushq %rax\n"
        ".cfi_adjust_cfa_offset 8\n"
        "  ret\n"
        ".cfi_endproc\n"
        ".size reliability_faults_at_its_ret, .-reliability_faults_at_its_ret\n"
        ".globl reliability_after_the_ret\n"
        ".type reliability_after_the_ret, @function\n"
        "reliability_after_the_ret:\n"
        ".cfi_startproc\n"
        "  ret\n"
        ".cfi_endproc\n"
        ".size reliability_after_the_ret, .-reliability_after_the_ret\n");
#endif

// Only a handler on a stack of its own can run once this has used up the
// thread's stack.
volatile long reliability_overflow_limit = 1L << 40; // never reached

extern "C" __attribute__((noinline)) int reliability_overflowing_function(volatile char* previous, long depth) {
    if (depth == reliability_overflow_limit) return 0;
    volatile char block[512];
    block[0] = previous != nullptr ? previous[0] : 1;
    const int below = reliability_overflowing_function(block, depth + 1);
    __asm__ __volatile__("" ::: "memory");
    return below + block[0];
}

extern "C" __attribute__((noinline)) void reliability_crashing_caller(void (*crash)()) {
    crash();
    __asm__ __volatile__("" ::: "memory");
}

// Faults inside malloc with the arena locked, other threads allocating.
extern "C" __attribute__((noinline)) void reliability_damage_the_heap() {
    std::atomic<bool> stop{false};
    std::vector<std::thread> others;
    others.reserve(3);
    for (int i = 0; i < 3; ++i)
        others.emplace_back([&stop] {
            while (!stop.load()) std::free(std::malloc(64));
        });
    // A free chunk in the unsorted bin whose back link leads nowhere: the
    // next large allocation follows it with the arena locked. The chunk must
    // stay apart from its neighbours when freed, so it is taken where the
    // chunks on both sides are in use. Called through pointers, so that the
    // compiler keeps every call.
    void* (*volatile allocate)(std::size_t) = &std::malloc;
    void (*volatile release)(void*) = &std::free;
    char* chunk = nullptr;
    void* guard = nullptr;
    const std::size_t size = 0x500; // past the thread caches, which never lock
    do {
        chunk = static_cast<char*>(allocate(size));
        guard = allocate(size);
    } while (guard != chunk + size + 16 || (reinterpret_cast<const std::size_t*>(chunk)[-1] & 1) == 0);
    release(chunk);
    reinterpret_cast<void* volatile*>(chunk)[1] = reinterpret_cast<void*>(0x10);
    release(allocate(size + 0x100));
    stop.store(true);
    for (std::thread& t : others) t.join();
    release(guard);
}

__attribute__((noinline)) void reliability_throw_traced() {
    throw korvo::calltrail::traced<std::runtime_error>("the traced one");
}

__attribute__((noinline)) void reliability_throw_nested() {
    try {
        reliability_throw_traced();
    } catch (const std::exception&) {
        std::throw_with_nested(std::logic_error("the outer one"));
    }
}

namespace {

// The report's lines, without what an emulator says of the signal after it.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("qemu: uncaught target signal", 0) != 0) lines.push_back(line);
    return lines;
}

int index_of(const std::vector<std::string>& lines, const std::string& line, int from = 0) {
    for (int i = from; i < static_cast<int>(lines.size()); ++i)
        if (lines[static_cast<std::size_t>(i)] == line) return i;
    return -1;
}

// The rendered frame lines of the section that `title` starts: each a
// number and the text after "# ".
struct frame_line {
    long number;
    std::string text;
};

std::vector<frame_line> frames_after(const std::vector<std::string>& lines, const std::string& title) {
    std::vector<frame_line> frames;
    const int at = index_of(lines, title);
    for (std::size_t i = static_cast<std::size_t>(at + 1); at >= 0 && i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.rfind("    frames ", 0) == 0) continue;
        const std::string::size_type mark = line.find("# ");
        if (mark == std::string::npos || mark > 12) break;
        frames.push_back({std::strtol(line.c_str(), nullptr, 10), line.substr(mark + 2)});
    }
    return frames;
}

bool names(const frame_line& f, const std::string& function) {
    return f.text.compare(0, function.size(), function) == 0;
}

// Rendering under a sanitizer on a busy machine can take longer than the
// default watchdog allows. Sanitizers have handlers of their own for some
// signals; the tests of chaining say when to hand over to them.
korvo::calltrail::crash_handler_settings patient_settings() {
    korvo::calltrail::crash_handler_settings settings;
    settings.watchdog_seconds = 60;
    settings.chain_to_previous_handlers = !CALLTRAIL_TEST_SANITIZED;
    return settings;
}

calltrail_test::child_result
crash_in_child(const std::function<void()>& crash,
               const korvo::calltrail::crash_handler_settings& settings = patient_settings()) {
    return calltrail_test::run_in_child([&] {
        korvo::calltrail::install_crash_handler(settings);
        crash();
    });
}

struct fault_case {
    const char* name;
    int signal;
    const char* description;
    const char* function; // named by the first frame of the trace
    void (*crash)();
};

TEST(crash_handler, each_fatal_signal_is_reported_from_the_frame_that_failed_and_kills_the_process) {
    const fault_case cases[] = {
        {"null store", SIGSEGV, "segmentation fault", "reliability_faulting_function", &reliability_faulting_function},
        {"abort", SIGABRT, "abort", "reliability_aborting_function", &reliability_aborting_function},
#if !defined(__aarch64__) // where dividing by zero gives 0
        {"division by zero", SIGFPE, "arithmetic error", "reliability_dividing_function",
         &reliability_dividing_function},
#endif
        {"illegal instruction", SIGILL, "illegal instruction", "reliability_illegal_function",
         &reliability_illegal_function},
        {"breakpoint", SIGTRAP, "trace trap", "reliability_breakpoint_function", &reliability_breakpoint_function},
        {"bus error", SIGBUS, "bus error", "reliability_bus_error_function", &reliability_bus_error_function},
#if defined(__x86_64__)
        {"first instruction after a call that does not return", SIGSEGV, "segmentation fault",
         "reliability_faults_first_thing", &reliability_faults_first_thing},
        {"one-byte last instruction", SIGSEGV, "segmentation fault", "reliability_faults_at_its_ret",
         &reliability_faults_at_its_ret},
#endif
    };
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.name);
        const calltrail_test::child_result child = crash_in_child([&c] { reliability_crashing_caller(c.crash); });
        ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
        EXPECT_EQ(WTERMSIG(child.status), c.signal) << child.output;
        const std::vector<std::string> lines = lines_of(child.output);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], std::string("fatal signal: ") + c.description);
        // The trace starts at the failure, numbered as the raw part: the
        // handler, the signal frame and the C library's abort are not in it.
        // (A sanitizer's interceptor of abort() may stand above the function.)
        const std::vector<frame_line> frames = frames_after(lines, "trace:");
        std::size_t first = 0;
        while (first < frames.size() && !names(frames[first], c.function)) ++first;
        ASSERT_LE(first, CALLTRAIL_TEST_SANITIZED ? 1u : 0u) << child.output;
        ASSERT_GE(frames.size(), first + 2) << child.output;
        EXPECT_TRUE(names(frames[first + 1], "reliability_crashing_caller")) << child.output;
        const int raw = index_of(lines, "raw frames (addr2line -e FILE OFFSET):");
        ASSERT_GE(raw, 0) << child.output;
        // abort's frames in the C library are not shown: "  0-N not shown".
        const std::string& top = lines[static_cast<std::size_t>(raw + 1)];
        const bool plumbing = c.signal == SIGABRT;
        EXPECT_EQ(top.find(" not shown") != std::string::npos, plumbing) << child.output;
        const std::string::size_type dash = top.find('-');
        const long hidden =
            plumbing && dash != std::string::npos ? std::strtol(top.c_str() + dash + 1, nullptr, 10) + 1 : 0;
        EXPECT_EQ(frames[first].number, hidden + static_cast<long>(first)) << child.output;
        EXPECT_EQ(child.output.find("on_fatal_signal"), std::string::npos) << child.output;
        EXPECT_GE(index_of(lines, "modules (FILE BUILD-ID):"), raw) << child.output;
    }
}

// A stack too deep to list: its top, a line for what is not shown, and its
// bottom down to where the thread began, recursion folded into one line.
TEST(crash_handler, a_stack_overflow_is_folded_and_reaches_the_threads_start) {
    struct overflow_case {
        const char* name;
        const char* bottom; // a function of the program near the bottom of the thread's stack, if any
        std::function<void()> crash;
    };
    const overflow_case cases[] = {
        {"main thread", "main", [] { reliability_overflowing_function(nullptr, 0); }},
        {"worker thread", nullptr,
         [] {
             std::thread worker([] {
                 korvo::calltrail::install_crash_stack_for_this_thread();
                 reliability_overflowing_function(nullptr, 0);
             });
             worker.join();
         }},
    };
    for (const overflow_case& c : cases) {
        SCOPED_TRACE(c.name);
        const calltrail_test::child_result child = crash_in_child(c.crash);
        ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
        EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
        const std::vector<std::string> lines = lines_of(child.output);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "fatal signal: segmentation fault");
        EXPECT_LT(lines.size(), 200u) << "a report the size of the stack";
        const std::vector<frame_line> frames = frames_after(lines, "trace:");
        ASSERT_GE(frames.size(), 4u) << child.output;
        // Under a sanitizer the stack may run out in its runtime, a few
        // frames above.
        std::size_t first = 0;
        while (first < frames.size() && !names(frames[first], "reliability_overflowing_function")) ++first;
        EXPECT_LE(first, CALLTRAIL_TEST_SANITIZED ? 6u : 0u) << child.output;
        bool folded = false;
        bool gap = false;
        for (const std::string& line : lines) {
            folded = folded || (line.rfind("    frames ", 0) == 0 &&
                                line.find(" repeat `reliability_overflowing_function` x") != std::string::npos);
            gap = gap || (line.rfind("    frames ", 0) == 0 && line.find(" not shown") != std::string::npos);
        }
        EXPECT_TRUE(folded) << child.output;
        EXPECT_TRUE(gap) << child.output;
        // Down to where the thread began, in the C library (whose names may
        // not be at hand) below the program's own.
        bool bottom = c.bottom == nullptr;
        for (const frame_line& f : frames) bottom = bottom || names(f, c.bottom);
        EXPECT_TRUE(bottom) << child.output;
        const int table = index_of(lines, "modules (FILE BUILD-ID):");
        ASSERT_GE(table, 3) << child.output;
        bool in_libc = false;
        for (std::size_t i = static_cast<std::size_t>(table) - 3; i < static_cast<std::size_t>(table); ++i)
            in_libc = in_libc || lines[i].find("/libc.so.6 0x") != std::string::npos;
        EXPECT_TRUE(in_libc) << child.output;
        // Numbered by depth: the deepest frames carry the largest numbers.
        EXPECT_GT(frames.back().number, 1000) << child.output;
    }
}

// On a thread of the C library's own, an exception that leaves the thread's
// function finds no handler anywhere (the test's own would catch it).
void on_a_plain_thread(void (*body)()) {
    pthread_t thread;
    pthread_create(
        &thread, nullptr,
        [](void* f) -> void* {
            reinterpret_cast<void (*)()>(f)();
            return nullptr;
        },
        reinterpret_cast<void*>(body));
    pthread_join(thread, nullptr);
}

struct exception_case {
    const char* name;
    std::vector<std::string> header; // the lines after the first
    // For each traced exception, its number and the function its throw
    // site's trace starts in.
    std::vector<std::pair<int, std::string>> throw_sites;
    void (*crash)();
};

TEST(crash_handler, an_uncaught_exception_is_reported_with_its_type_what_and_throw_site) {
    const exception_case cases[] = {
        {"plain",
         {"exception 0: std::runtime_error", "  what(): plain\\nand a second line"},
         {},
         [] { throw std::runtime_error("plain\nand a second line"); }},
        {"traced",
         {"exception 0: korvo::calltrail::traced<std::runtime_error>", "  what(): the traced one"},
         {{0, "reliability_throw_traced()"}},
         &reliability_throw_traced},
        {"nested",
         {"exception 0: std::logic_error", "  what(): the outer one",
          "exception 1, nested in 0: korvo::calltrail::traced<std::runtime_error>", "  what(): the traced one"},
         {{1, "reliability_throw_traced()"}},
         &reliability_throw_nested},
        {"none", {}, {}, [] { std::terminate(); }},
    };
    for (const exception_case& c : cases) {
        SCOPED_TRACE(c.name);
        const calltrail_test::child_result child = crash_in_child([&c] { on_a_plain_thread(c.crash); });
        ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
        EXPECT_EQ(WTERMSIG(child.status), SIGABRT);
        const std::vector<std::string> lines = lines_of(child.output);
        ASSERT_GT(lines.size(), c.header.size());
        EXPECT_EQ(lines[0], c.header.empty() ? "terminate called without an active exception"
                                             : "terminate called after an uncaught exception");
        for (std::size_t i = 0; i < c.header.size(); ++i) EXPECT_EQ(lines[i + 1], c.header[i]);
        // One report: the abort that ends the process is not reported again.
        EXPECT_EQ(child.output.find("fatal signal"), std::string::npos) << child.output;
        const std::vector<frame_line> stack = frames_after(lines, "trace:");
        ASSERT_FALSE(stack.empty()) << child.output;
        EXPECT_EQ(stack[0].text.find("std::terminate"), std::string::npos) << child.output;
        for (const std::pair<int, std::string>& traced : c.throw_sites) {
            const std::string level = std::to_string(traced.first);
            EXPECT_GE(
                index_of(lines, "raw frames of the throw site of exception " + level + " (addr2line -e FILE OFFSET):"),
                0)
                << child.output;
            const std::vector<frame_line> site =
                frames_after(lines, "trace of the throw site of exception " + level + ":");
            ASSERT_FALSE(site.empty()) << child.output;
            EXPECT_TRUE(names(site[0], traced.second)) << child.output;
        }
    }
}

// The writer gets every chunk of the report, which the descriptor gets too.
void write_to_descriptor(const char* text, std::size_t size, void* context) {
    const int descriptor = *static_cast<const int*>(context);
    while (size > 0) {
        const ssize_t written = ::write(descriptor, text, size);
        if (written <= 0) return;
        text += written;
        size -= static_cast<std::size_t>(written);
    }
}

TEST(crash_handler, the_report_goes_to_the_descriptor_and_to_the_writer) {
    char path[] = "/tmp/calltrail-writer-XXXXXX";
    static int copy = -1;
    copy = ::mkstemp(path);
    ASSERT_GE(copy, 0);
    korvo::calltrail::crash_handler_settings settings = patient_settings();
    settings.descriptor = STDOUT_FILENO;
    settings.writer = &write_to_descriptor;
    settings.writer_context = &copy;
    const calltrail_test::child_result child = crash_in_child(&reliability_faulting_function, settings);
    std::ifstream in(path);
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ::close(copy);
    ::unlink(path);
    EXPECT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child);
    EXPECT_EQ(child.output.rfind("fatal signal: segmentation fault\n", 0), 0u) << child.output;
    EXPECT_NE(child.output.find("\ntrace:\n"), std::string::npos) << child.output;
    // All of the report, and nothing but what an emulator may add after it.
    std::string report;
    for (const std::string& line : lines_of(child.output)) report += line + "\n";
    EXPECT_EQ(written, report);
}

// A handler installed before ours runs after the report, and ends the
// process its own way; with chaining off, the signal's default action does.
std::atomic<int> previous_handler_calls{0};

void previous_handler(int, siginfo_t* info, void*) {
    static const char ran[] = "previous handler ran\n";
    (void)!::write(STDERR_FILENO, ran, sizeof ran - 1);
    ::_exit(info->si_code > 0 ? 3 : 4);
}

TEST(crash_handler, the_handler_installed_before_runs_after_the_report_unless_told_not_to) {
    for (const bool chain : {true, false}) {
        SCOPED_TRACE(chain ? "chaining" : "not chaining");
        korvo::calltrail::crash_handler_settings settings = patient_settings();
        settings.chain_to_previous_handlers = chain;
        const calltrail_test::child_result child = calltrail_test::run_in_child([&settings] {
            struct sigaction action {};
            action.sa_sigaction = &previous_handler;
            action.sa_flags = SA_SIGINFO;
            sigaction(SIGSEGV, &action, nullptr);
            korvo::calltrail::install_crash_handler(settings);
            korvo::calltrail::install_crash_handler(settings); // again: still chains to the one before
            reliability_faulting_function();
        });
        const std::vector<std::string> lines = lines_of(child.output);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "fatal signal: segmentation fault");
        if (chain) {
            // It got the fault as the kernel gave it.
            EXPECT_EQ(calltrail_test::describe_status(child), "exited with 3") << child.output;
            EXPECT_EQ(lines.back(), "previous handler ran") << child.output;
        } else {
            EXPECT_TRUE(WIFSIGNALED(child.status) && WTERMSIG(child.status) == SIGSEGV) << child.output;
            EXPECT_EQ(child.output.find("previous handler ran"), std::string::npos) << child.output;
        }
    }
}

TEST(crash_handler, the_sanitizers_report_still_comes_after_ours) {
#if !CALLTRAIL_TEST_SANITIZED
    GTEST_SKIP() << "runs in the sanitizer stages";
#else
    korvo::calltrail::crash_handler_settings settings = patient_settings();
    settings.chain_to_previous_handlers = true;
    const calltrail_test::child_result child = crash_in_child(&reliability_faulting_function, settings);
    const std::string::size_type ours = child.output.find("\ntrace:\n");
#if defined(__SANITIZE_ADDRESS__)
    const std::string::size_type theirs = child.output.find("ERROR: AddressSanitizer: SEGV on unknown address");
#else
    const std::string::size_type theirs = child.output.find("ThreadSanitizer:DEADLYSIGNAL");
#endif
    ASSERT_NE(ours, std::string::npos) << child.output;
    ASSERT_NE(theirs, std::string::npos) << child.output;
    EXPECT_LT(ours, theirs) << child.output;
    // Theirs names the same place.
    EXPECT_NE(child.output.find("reliability_faulting_function", theirs), std::string::npos) << child.output;
#endif
}

// The report itself faults (here in its first allocation, while rendering):
// that is announced after what was already written, and the process ends
// with the signal the report was about, even when it is the same signal.
TEST(crash_handler, a_fault_inside_the_report_keeps_what_was_written_and_ends_with_the_first_signal) {
    const fault_case cases[] = {
        {"abort", SIGABRT, "abort", "", &reliability_aborting_function},
        {"segmentation fault", SIGSEGV, "segmentation fault", "", &reliability_faulting_function},
    };
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.name);
        const calltrail_test::child_result child = crash_in_child([&c] {
            calltrail_test::fault_on_allocation();
            c.crash();
        });
        ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
        EXPECT_EQ(WTERMSIG(child.status), c.signal) << child.output;
        const std::vector<std::string> lines = lines_of(child.output);
        ASSERT_GE(lines.size(), 3u) << child.output;
        EXPECT_EQ(lines[0], std::string("fatal signal: ") + c.description);
        const int modules = index_of(lines, "modules (FILE BUILD-ID):");
        const int trace = index_of(lines, "trace:");
        EXPECT_GT(modules, 0) << child.output;
        EXPECT_GT(trace, modules) << child.output;
        EXPECT_EQ(lines.back(), "fatal signal 11 inside the crash report") << child.output;
    }
}

// The number after "0x" that follows text on a line, or 0.
std::uintptr_t hex_after(const std::string& line, const std::string& text) {
    const std::string::size_type at = line.find(text);
    return at == std::string::npos ? 0 : std::strtoull(line.c_str() + at + text.size(), nullptr, 16);
}

// The raw part names the interrupted code by module and offset: in a forked
// child, objects lie where they lie here, so both can be checked.
void expect_raw_place_in(const std::vector<std::string>& lines, const void* inside_module, const char* module) {
    Dl_info info{};
    ASSERT_NE(dladdr(inside_module, &info), 0);
    const auto base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    for (const std::string& line : lines) {
        if (line.rfind("interrupted at ", 0) != 0) continue;
        EXPECT_NE(line.find(module), std::string::npos) << line;
        const std::uintptr_t address = hex_after(line, "interrupted at 0x");
        EXPECT_EQ(address, base + hex_after(line, std::string(module) + " 0x")) << line;
        return;
    }
    ADD_FAILURE() << "no line names the interrupted code";
}

// The allocator's lock is held by the crashed thread, so rendering would
// wait for ever; the watchdog ends the process with the fault all the same.
TEST(crash_handler, a_fault_inside_malloc_with_threads_running_still_ends_the_process) {
#if CALLTRAIL_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers replace malloc, whose heap this test damages";
#endif
    const auto started = std::chrono::steady_clock::now();
    const calltrail_test::child_result child = calltrail_test::run_in_child([] {
        korvo::calltrail::install_crash_handler();
        reliability_damage_the_heap();
    });
    std::cout << "the child died after "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() << " s\n";
    ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV) << child.output;
    const std::vector<std::string> lines = lines_of(child.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "fatal signal: segmentation fault");
    expect_raw_place_in(lines, reinterpret_cast<const void*>(&std::malloc), "libc.so.6");
}

} // namespace

namespace {

// A file name is written into the raw part escaped, reversibly: whatever the
// name, it stays on its line and reads back as it was.
std::string captured;

void capture(const char* text, std::size_t size, void*) { captured.append(text, size); }

std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (text[++i] == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i] == 'n' ? '\n' : text[i] == 'r' ? '\r' : text[i] == 't' ? '\t' : text[i];
        }
    }
    return out;
}

TEST(crash_handler, the_raw_part_writes_file_names_escaped_so_that_they_read_back_exactly) {
    char directory[] = "/tmp/calltrail-names-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/forged\n  7# other.so 0x111c\\\x1b[31m\t.so";
    {
        std::ifstream from(CALLTRAIL_UNLOADABLE_LIBRARY, std::ios::binary);
        std::ofstream to(path, std::ios::binary);
        to << from.rdbuf();
    }
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto address = reinterpret_cast<std::uintptr_t>(dlsym(library, "calltrail_unloadable_function"));
    korvo::calltrail::crash_detail::report_destination& to = korvo::calltrail::crash_detail::destination();
    const korvo::calltrail::crash_detail::report_destination before = to;
    to.configured = true;
    to.to_descriptor = false;
    to.writer = &capture;
    korvo::calltrail::crash_detail::module_place place{};
    const bool located = korvo::calltrail::crash_detail::posix_platform::locate(address, place);
    if (located) {
        korvo::calltrail::crash_detail::crash_line line;
        place.write_file(line);
        line.end();
    }
    to = before;
    dlclose(library);
    ::unlink(path.c_str());
    ::rmdir(directory);
    ASSERT_TRUE(located);
    ASSERT_FALSE(captured.empty());
    EXPECT_EQ(captured.find('\n'), captured.size() - 1) << captured;
    EXPECT_EQ(unescaped(captured.substr(0, captured.size() - 1)), path) << captured;
}

// Built without exceptions and run-time type information, the handler still
// tells what escaped from code built with them.
TEST(crash_handler, a_program_built_without_exceptions_still_says_what_escaped) {
    const calltrail_test::child_result child =
        calltrail_test::run_program({CALLTRAIL_CRASH_WITHOUT_EXCEPTIONS, "nested"}, {});
    if (calltrail_test::describe_status(child) == "exited with 127" && child.output == "execve failed\n")
        GTEST_SKIP() << "no program can be started here (an emulator of one program)";
    EXPECT_TRUE(WIFSIGNALED(child.status) && WTERMSIG(child.status) == SIGABRT) << child.output;
    const std::vector<std::string> lines = lines_of(child.output);
    ASSERT_GE(lines.size(), 5u) << child.output;
    const std::vector<std::string> header = {
        "terminate called after an uncaught exception", "exception 0: std::logic_error", "  what(): outer",
        "exception 1, nested in 0: korvo::calltrail::traced<std::runtime_error>", "  what(): inner"};
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5), header) << child.output;
    const std::vector<frame_line> site = frames_after(lines, "trace of the throw site of exception 1:");
    ASSERT_FALSE(site.empty()) << child.output;
    EXPECT_TRUE(names(site[0], "calltrail_test_throw_traced()")) << child.output;
}

} // namespace

// Rendering out of process: calltrail-symbolize, started by the handler,
// writes the trace from the raw part. It needs nothing of the dying process.
namespace {

// Not from inside an emulator of one program, where no other can start.
bool programs_start_here() {
    const calltrail_test::child_result child = calltrail_test::run_program({CALLTRAIL_SYMBOLIZE, "--help"}, {});
    return calltrail_test::describe_status(child) == "exited with 0";
}

korvo::calltrail::crash_handler_settings rendered_by(const char* program) {
    korvo::calltrail::crash_handler_settings settings = patient_settings();
    settings.render_out_of_process = true;
    settings.symbolizer_program = program;
    return settings;
}

// The rendered part: from the first trace title on.
std::vector<std::string> rendered_part(const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind("trace", 0) == 0 && lines[i].back() == ':')
            return std::vector<std::string>(lines.begin() + static_cast<long>(i), lines.end());
    return {};
}

const char fallback_note[] = "; the trace is rendered in the process)";

bool falls_back(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        if (line.find(fallback_note) != std::string::npos) return true;
    return false;
}

// Where a case's child sends its report when not to standard error.
std::string report_file;
int report_descriptor = -1;

void to_writer_only(korvo::calltrail::crash_handler_settings& settings) {
    report_descriptor = ::open(report_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    settings.descriptor = -1;
    settings.writer = &write_to_descriptor;
    settings.writer_context = &report_descriptor;
}

// The report's file is kept above them: the first descriptors the handler
// makes are then 0 and 1.
void with_standard_descriptors_closed(korvo::calltrail::crash_handler_settings& settings) {
    const int file = ::open(report_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    settings.descriptor = ::fcntl(file, F_DUPFD, 10);
    for (int standard = 0; standard <= 2; ++standard) ::close(standard);
    ::close(file);
}

// Children are then reaped by the kernel as they end: the program's exit
// status cannot be read.
void with_children_ignored(korvo::calltrail::crash_handler_settings&) { ::signal(SIGCHLD, SIG_IGN); }

// The program through a script that leaves a process behind with the
// program's standard input and output: its end of the socket is then never
// closed, as when another thread of the crashed process forks meanwhile.
std::string leaving_program;

void through_a_leaving_program(korvo::calltrail::crash_handler_settings& settings) {
    settings.symbolizer_program = leaving_program.c_str();
}

struct renderer_case {
    const char* name;
    void (*crash)();
    // In the child, before the handler is installed, when rendering out of
    // process.
    void (*prepare)(korvo::calltrail::crash_handler_settings&);
    bool report_in_file;
};

// Both ways through the same frames, so that both walks see the same stack.
calltrail_test::child_result crash_rendered(const renderer_case& c, bool out_of_process) {
    return calltrail_test::run_in_child([&c, out_of_process] {
        korvo::calltrail::crash_handler_settings settings =
            out_of_process ? rendered_by(CALLTRAIL_SYMBOLIZE) : patient_settings();
        if (out_of_process && c.prepare != nullptr) c.prepare(settings);
        korvo::calltrail::install_crash_handler(settings);
        c.crash();
    });
}

TEST(crash_handler_out_of_process, gives_the_report_the_process_would_have_given_wherever_it_goes) {
    if (!programs_start_here()) GTEST_SKIP() << "no program can be started here (an emulator of one program)";
    const renderer_case cases[] = {
        {"null store", &reliability_faulting_function, nullptr, false},
        {"abort", &reliability_aborting_function, nullptr, false},
        {"stack overflow", [] { reliability_overflowing_function(nullptr, 0); }, nullptr, false},
        {"nested exceptions, two throw sites", [] { on_a_plain_thread(&reliability_throw_nested); }, nullptr, false},
        {"writer only", &reliability_faulting_function, &to_writer_only, true},
        {"standard descriptors closed", &reliability_faulting_function, &with_standard_descriptors_closed, true},
        {"children ignored", &reliability_faulting_function, &with_children_ignored, false},
        {"a process left with the program's descriptors", &reliability_faulting_function, &through_a_leaving_program,
         false},
    };
    char directory[] = "/tmp/calltrail-renderer-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/report";
    report_file = path;
    leaving_program = std::string(directory) + "/leaves";
    const std::string left = std::string(directory) + "/left";
    std::ofstream(leaving_program) << "#!/bin/sh\nsleep 60 2>/dev/null &\necho $! >" << left << "\nexec "
                                   << CALLTRAIL_SYMBOLIZE << "\n";
    ::chmod(leaving_program.c_str(), 0755);
    for (const renderer_case& c : cases) {
        SCOPED_TRACE(c.name);
        calltrail_test::child_result runs[2]; // in the process, out of it: from one call
        for (const bool out_of_process : {false, true}) runs[out_of_process] = crash_rendered(c, out_of_process);
        const calltrail_test::child_result& in_process = runs[0];
        const calltrail_test::child_result& child = runs[1];
        std::ifstream in(c.report_in_file ? path : std::string());
        const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string& report = c.report_in_file ? written : child.output;
        EXPECT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << report;
        EXPECT_EQ(child.status, in_process.status);
        const std::vector<std::string> lines = lines_of(report);
        EXPECT_FALSE(falls_back(lines)) << report;
        const std::vector<std::string> expected = rendered_part(lines_of(in_process.output));
        ASSERT_GE(expected.size(), 3u) << in_process.output;
        EXPECT_EQ(rendered_part(lines), expected) << report << "\nin the process:\n" << in_process.output;
    }
    long lingering = 0;
    std::ifstream(left) >> lingering;
    EXPECT_GT(lingering, 0) << "the script did not run";
    if (lingering > 0) ::kill(static_cast<pid_t>(lingering), SIGKILL);
    for (const std::string& file : {path, leaving_program, left}) ::unlink(file.c_str());
    ::rmdir(directory);
}

// What the process would render for the frames of a report's raw part, in a
// process whose heap is whole: forked, it has the same objects at the same
// addresses. Frame 0 holds the instruction the signal interrupted.
std::vector<std::string> rendered_here(const std::vector<std::string>& lines) {
    namespace crash = korvo::calltrail::crash_detail;
    std::vector<crash::report_frame> frames;
    const int raw = index_of(lines, "raw frames (addr2line -e FILE OFFSET):");
    for (std::size_t i = static_cast<std::size_t>(raw + 1); raw >= 0 && i < lines.size(); ++i) {
        const std::uintptr_t address = hex_after(lines[i], " 0x");
        if (address == 0 || std::strtoul(lines[i].c_str(), nullptr, 10) != frames.size()) break;
        frames.push_back(frames.empty() ? crash::interrupted_frame(address)
                                        : crash::report_frame::return_address(address));
    }
    crash::frame_section section;
    section.add_frames(frames.data(), frames.size(), 0);
    const crash::frame_section* sections[] = {&section};
    const char* titles[] = {""};
    crash::report_destination& to = crash::destination();
    const crash::report_destination before = to;
    to.configured = true;
    to.to_descriptor = false;
    to.writer = &capture;
    captured.clear();
    crash::write_rendered_part(sections, titles, 1);
    to = before;
    return lines_of(captured);
}

// The allocator's lock is held by the crashed thread; the program renders
// all the same, and the process dies of its fault without the watchdog.
TEST(crash_handler_out_of_process, a_fault_inside_malloc_with_threads_running_gets_its_trace) {
#if CALLTRAIL_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers replace malloc, whose heap this test damages";
#endif
    if (!programs_start_here()) GTEST_SKIP() << "no program can be started here (an emulator of one program)";
    const calltrail_test::child_result child = calltrail_test::run_in_child([] {
        korvo::calltrail::install_crash_handler(rendered_by(CALLTRAIL_SYMBOLIZE));
        reliability_damage_the_heap();
    });
    ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV) << child.output;
    const std::vector<std::string> lines = lines_of(child.output);
    EXPECT_FALSE(falls_back(lines)) << child.output;
    EXPECT_EQ(child.output.find("crash report abandoned"), std::string::npos) << child.output;
    expect_raw_place_in(lines, reinterpret_cast<const void*>(&std::malloc), "libc.so.6");
    const std::vector<std::string> rendered = rendered_part(lines);
    EXPECT_EQ(rendered, rendered_here(lines)) << child.output;
    const std::vector<frame_line> frames = frames_after(lines, "trace:");
    bool named = false;
    for (const frame_line& f : frames)
        named = named || (names(f, "reliability_damage_the_heap at ") &&
                          f.text.find("crash_handler_test.cpp:") != std::string::npos);
    EXPECT_TRUE(named) << child.output;
}

// The program cannot be started, fails, prints nothing or never ends: the
// report says so in one line and is rendered in the process; one that hangs
// is ended with the report by the watchdog, and outlives it not.
TEST(crash_handler_out_of_process, a_program_that_cannot_render_leaves_the_trace_to_the_process) {
    if (!programs_start_here()) GTEST_SKIP() << "no program can be started here (an emulator of one program)";
    char directory[] = "/tmp/calltrail-renderer-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string hanging = std::string(directory) + "/hangs";
    std::ofstream(hanging) << "#!/bin/sh\nexec sleep 600\n";
    ::chmod(hanging.c_str(), 0755);
    const std::string missing = std::string(directory) + "/missing";
    struct fallback_case {
        std::string program;
        std::string says; // the line after the module table
        unsigned watchdog_seconds;
    };
    const fallback_case cases[] = {
        {missing, "(" + missing + " could not be started: no such file" + fallback_note, 60},
        {directory, "(" + std::string(directory) + " could not be started: permission denied" + fallback_note, 60},
        {"/bin/false", std::string("(/bin/false failed: exit status 1") + fallback_note, 60},
        {"/bin/true", std::string("(/bin/true printed nothing") + fallback_note, 60},
        {hanging, "crash report abandoned after 1 s", 1},
    };
    for (const fallback_case& c : cases) {
        SCOPED_TRACE(c.program);
        const calltrail_test::child_result child = calltrail_test::run_in_child([&c] {
            korvo::calltrail::crash_handler_settings settings = rendered_by(c.program.c_str());
            settings.watchdog_seconds = c.watchdog_seconds;
            korvo::calltrail::install_crash_handler(settings);
            reliability_faulting_function();
        });
        ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
        EXPECT_EQ(WTERMSIG(child.status), SIGSEGV) << child.output;
        const std::vector<std::string> lines = lines_of(child.output);
        const int table = index_of(lines, "modules (FILE BUILD-ID):");
        ASSERT_GT(table, 0) << child.output;
        int after = table + 1;
        while (after < static_cast<int>(lines.size()) && lines[static_cast<std::size_t>(after)].rfind("  ", 0) == 0)
            ++after;
        ASSERT_LT(after, static_cast<int>(lines.size())) << child.output;
        EXPECT_EQ(lines[static_cast<std::size_t>(after)], c.says) << child.output;
        if (c.watchdog_seconds == 1) continue;
        const std::vector<frame_line> frames = frames_after(lines, "trace:");
        ASSERT_FALSE(frames.empty()) << child.output;
        EXPECT_TRUE(names(frames[0], "reliability_faulting_function")) << child.output;
    }
    ::unlink(hanging.c_str());
    ::rmdir(directory);
}

} // namespace
