// The example crash handler, in a child that really crashes: the trace it
// writes from its signal handler, on the alternate stack, must name the
// function that crashed and the one that called it.
#include "crash_handler.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "reliability/support/child_process.hpp"

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

calltrail_test::child_result crash_with(int how) {
    return calltrail_test::run_in_child([how] {
        crash_handler::install_crash_handler();
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
        crash_handler::install_crash_handler();
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

} // namespace
