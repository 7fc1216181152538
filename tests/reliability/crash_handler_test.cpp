// The crash handler, in a child that really crashes: the trace it writes
// from its signal handler, on the alternate stack, must name the function
// that crashed and the one that called it.
#include <korvo/calltrail/crash_handler.hpp>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "reliability/support/child_process.hpp"
#include "reliability/support/faulting_allocation.hpp"

// Out of line, with code after each call, so that each keeps its frame and
// every return address lies inside the function that made the call.
// The store through null is the point, so the undefined-behaviour checker
// must let the hardware fault happen.
extern "C" __attribute__((noinline, no_sanitize("undefined"))) void
reliability_faulting_function(volatile int* pointer) {
    *pointer = 42;
    __asm__ __volatile__("" ::: "memory");
}

// abort through a pointer the compiler cannot see through, so that the call
// is not the function's last instruction.
void (*volatile reliability_abort)() = &std::abort;

extern "C" __attribute__((noinline)) void reliability_aborting_function() {
    reliability_abort();
    __asm__ __volatile__("" ::: "memory");
}

extern "C" __attribute__((noinline)) void reliability_crashing_caller(int how) {
    if (how == SIGABRT)
        reliability_aborting_function();
    else
        reliability_faulting_function(nullptr);
    __asm__ __volatile__("" ::: "memory");
}

// Only a handler on a stack of its own can run once this has used up the
// thread's stack.
volatile long reliability_overflow_limit = 1L << 40; // never reached

extern "C" __attribute__((noinline)) int reliability_overflowing_function(volatile char* previous, long depth) {
    if (depth == reliability_overflow_limit) return 0;
    volatile char block[4096];
    block[0] = previous != nullptr ? previous[0] : 1;
    const int below = reliability_overflowing_function(block, depth + 1);
    __asm__ __volatile__("" ::: "memory");
    return below + block[0];
}

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The index of the first trace line naming function, or -1.
int line_naming(const std::vector<std::string>& lines, const std::string& function, int from = 0) {
    for (int i = from; i < static_cast<int>(lines.size()); ++i) {
        const std::string& line = lines[static_cast<std::size_t>(i)];
        const std::string::size_type hash = line.find("# ");
        if (hash != std::string::npos && line.compare(hash + 2, function.size(), function) == 0) return i;
    }
    return -1;
}

// Rendering under a sanitizer on a busy machine can take longer than the
// default watchdog allows; these tests read the rendered trace.
void install_patient_crash_handler() {
    korvo::calltrail::crash_handler_settings settings;
    settings.watchdog_seconds = 60;
    korvo::calltrail::install_crash_handler(settings);
}

calltrail_test::child_result crash_with(int how) {
    return calltrail_test::run_in_child([how] {
        install_patient_crash_handler();
        reliability_crashing_caller(how);
    });
}

TEST(crash_handler, null_dereference_is_reported_with_the_faulting_function_and_its_caller) {
    const calltrail_test::child_result child = crash_with(SIGSEGV);
    ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV) << "the handler must die of the signal it caught";

    const std::vector<std::string> lines = lines_of(child.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "fatal signal: segmentation fault");
    const int faulting = line_naming(lines, "reliability_faulting_function");
    ASSERT_GE(faulting, 1) << child.output;
    EXPECT_EQ(line_naming(lines, "reliability_crashing_caller"), faulting + 1) << child.output;
    // The handler's own frame comes first: the walk began on the alternate stack.
    EXPECT_GE(line_naming(lines, "on_fatal_signal"), 1) << child.output;
    EXPECT_LT(line_naming(lines, "on_fatal_signal"), faulting) << child.output;
}

TEST(crash_handler, abort_is_reported_with_the_aborting_function_and_its_caller) {
    const calltrail_test::child_result child = crash_with(SIGABRT);
    ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
    EXPECT_EQ(WTERMSIG(child.status), SIGABRT);

    const std::vector<std::string> lines = lines_of(child.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "fatal signal: abort");
    const int aborting = line_naming(lines, "reliability_aborting_function");
    ASSERT_GE(aborting, 1) << child.output;
    EXPECT_EQ(line_naming(lines, "reliability_crashing_caller"), aborting + 1) << child.output;
    // Between the handler and the aborting function lie the C library's frames.
    EXPECT_GE(line_naming(lines, "abort"), 1) << child.output;
    EXPECT_LT(line_naming(lines, "abort"), aborting) << child.output;
}

TEST(crash_handler, stack_overflow_is_reported_from_the_alternate_stack) {
    const calltrail_test::child_result child = calltrail_test::run_in_child([] {
        install_patient_crash_handler();
        reliability_overflowing_function(nullptr, 0);
    });
    ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);

    const std::vector<std::string> lines = lines_of(child.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "fatal signal: segmentation fault");
    // The handler could render, and the deepest frames are the recursion.
    const int first = line_naming(lines, "reliability_overflowing_function");
    ASSERT_GE(first, 1) << child.output;
    EXPECT_EQ(line_naming(lines, "reliability_overflowing_function", first + 1), first + 1) << child.output;
}

// The kinds of fault the handler reports besides null stores and abort, each
// in a function of its own. The checker of undefined behaviour must let the
// hardware see each fault.
volatile int reliability_zero = 0;
volatile int reliability_dividend = 7;

extern "C" __attribute__((noinline, no_sanitize("undefined"))) int reliability_dividing_function() {
    const int result = reliability_dividend / reliability_zero;
    __asm__ __volatile__("" ::: "memory");
    return result;
}

extern "C" __attribute__((noinline)) void reliability_illegal_function() {
#if defined(__aarch64__)
    __asm__ __volatile__("udf #0");
#else
    __asm__ __volatile__("ud2");
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

// The number after "0x" that follows text on a line, or 0.
std::uintptr_t hex_after(const std::string& line, const std::string& text) {
    const std::string::size_type at = line.find(text);
    return at == std::string::npos ? 0 : std::strtoull(line.c_str() + at + text.size(), nullptr, 16);
}

struct fault_case {
    int signal;
    const char* description;
    const char* function;
    void (*crash)();
};

TEST(crash_handler, reports_each_kind_of_fault_and_dies_of_it) {
    const fault_case cases[] = {
#if !defined(__aarch64__) // where dividing by zero gives 0
        {SIGFPE, "arithmetic error", "reliability_dividing_function", [] { reliability_dividing_function(); }},
#endif
        {SIGILL, "illegal instruction", "reliability_illegal_function", &reliability_illegal_function},
        {SIGBUS, "bus error", "reliability_bus_error_function", &reliability_bus_error_function},
    };
    for (const fault_case& c : cases) {
        const calltrail_test::child_result child = calltrail_test::run_in_child([&c] {
            install_patient_crash_handler();
            c.crash();
        });
        ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
        EXPECT_EQ(WTERMSIG(child.status), c.signal) << child.output;
        const std::vector<std::string> lines = lines_of(child.output);
        ASSERT_GE(lines.size(), 3u) << child.output;
        EXPECT_EQ(lines[0], std::string("fatal signal: ") + c.description);
        EXPECT_GE(line_naming(lines, c.function), 1) << child.output;
    }
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
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers replace malloc, whose heap this test damages";
#endif
    const auto started = std::chrono::steady_clock::now();
    const calltrail_test::child_result child = calltrail_test::run_in_child([] {
        korvo::calltrail::install_crash_handler();
        std::atomic<bool> stop{false};
        std::vector<std::thread> others;
        others.reserve(3);
        for (int i = 0; i < 3; ++i)
            others.emplace_back([&stop] {
                while (!stop.load()) std::free(std::malloc(64));
            });
        // A free chunk in the unsorted bin whose back link leads nowhere:
        // the next large allocation follows it with the arena locked. The
        // chunk must stay apart from its neighbours when freed, so it is
        // taken where the chunks on both sides are in use. Called through
        // pointers, so that the compiler keeps every call.
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

TEST(crash_handler, a_stack_overflow_on_a_worker_thread_names_the_recursing_function) {
    const calltrail_test::child_result child = calltrail_test::run_in_child([] {
        install_patient_crash_handler();
        std::thread worker([] {
            korvo::calltrail::install_crash_stack_for_this_thread();
            reliability_overflowing_function(nullptr, 0);
        });
        worker.join();
    });
    ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
    const std::vector<std::string> lines = lines_of(child.output);
    EXPECT_GE(line_naming(lines, "reliability_overflowing_function"), 1) << child.output;
    expect_raw_place_in(lines, reinterpret_cast<const void*>(&reliability_overflowing_function),
                        program_invocation_short_name);
}

// The report itself faults (here in its first allocation): the process ends
// at once, of the signal the report was about, and the raw part is out.
TEST(crash_handler, a_fault_inside_the_report_ends_the_process_with_the_first_signal) {
    const calltrail_test::child_result child = calltrail_test::run_in_child([] {
        install_patient_crash_handler();
        calltrail_test::fault_on_allocation();
        reliability_aborting_function();
    });
    ASSERT_TRUE(WIFSIGNALED(child.status)) << calltrail_test::describe_status(child) << "\n" << child.output;
    EXPECT_EQ(WTERMSIG(child.status), SIGABRT) << child.output;
    const std::vector<std::string> lines = lines_of(child.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "fatal signal: abort");
    EXPECT_NE(child.output.find("raw frames"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("fatal signal 11 inside the crash report"), std::string::npos) << child.output;
}

} // namespace
