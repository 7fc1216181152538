// collect in signal handlers where most stack walkers fail: on the smallest
// alternate stack with a guard page below it, and while the loader is busy
// on this thread and others. Each case runs in a forked child, bounded by
// the parent; a child that overflows its stack or hangs fails.
#include <korvo/calltrail/this_thread_frames.hpp>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "reliability/support/child_process.hpp"
#include "support/counting_allocation.hpp"

using korvo::calltrail::detail::this_thread_frames;

namespace {

struct capture_result {
    std::size_t count;
    std::size_t allocations;
    const void* frames[64];
};

// Each thread's handler writes its own.
thread_local capture_result handler_capture;
std::atomic<int> captures{0};

extern "C" __attribute__((noinline)) void signal_capture_handler(int) {
    const std::size_t before = calltrail_test::allocations();
    handler_capture.count = this_thread_frames::collect(handler_capture.frames, 64, 0);
    handler_capture.allocations = calltrail_test::allocations() - before;
    captures.fetch_add(1);
}

extern "C" __attribute__((noinline)) void signal_capture_raise() {
    raise(SIGUSR1);
    __asm__ __volatile__("" ::: "memory");
}

void handle_usr1(int flags) {
    struct sigaction action {};
    action.sa_handler = &signal_capture_handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
}

bool returns_into(const void* address, const void* function) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto start = reinterpret_cast<std::uintptr_t>(function);
    return at > start && at - start < 256;
}

bool holds(const capture_result& capture, const void* function) {
    for (std::size_t i = 0; i < capture.count; ++i)
        if (returns_into(capture.frames[i], function)) return true;
    return false;
}

int fail(const char* what) {
    std::printf("%s\n", what);
    return 1;
}

// The SIGSTKSZ of the processor's C library headers: the kernel's signal
// frame alone takes 4.5 KB on arm64, whose headers ask for 16 KiB.
#if defined(__aarch64__)
constexpr std::size_t classic_signal_stack = 16384;
#else
constexpr std::size_t classic_signal_stack = 8192;
#endif
// AddressSanitizer's redzones and its runtime's own frames make the same path
// larger; what it checks here is the memory, and the plain builds the size.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t sanitizer_room = 4096;
#else
constexpr std::size_t sanitizer_room = 0;
#endif

// On a thread of its own, whose first capture this is: the classic SIGSTKSZ
// of alternate stack, an inaccessible page below it.
int capture_twice_on_a_small_guarded_stack() {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t size = classic_signal_stack + sanitizer_room;
    auto* mapping =
        static_cast<char*>(mmap(nullptr, page + size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (mapping == MAP_FAILED || mprotect(mapping, page, PROT_NONE) != 0) return fail("no stack");
    stack_t stack{};
    stack.ss_sp = mapping + page;
    stack.ss_size = size;
    if (sigaltstack(&stack, nullptr) != 0) return fail("no sigaltstack");
    handle_usr1(SA_ONSTACK);
    for (int round = 0; round < 2; ++round) {
        signal_capture_raise();
        if (handler_capture.allocations != 0) return fail("the capture allocated");
        // The walk leaves the alternate stack through the signal frame.
        if (!holds(handler_capture, reinterpret_cast<const void*>(&signal_capture_handler)) ||
            !holds(handler_capture, reinterpret_cast<const void*>(&signal_capture_raise)))
            return fail("the capture missed the handler or the code it interrupted");
    }
    return 0;
}

TEST(capture_in_signal_handler, fits_a_guarded_sigstksz_alternate_stack_and_allocates_nothing_first_time_or_later) {
    const calltrail_test::child_result child = calltrail_test::run_in_child(
        [] {
            int result = 1;
            std::thread fresh([&result] { result = capture_twice_on_a_small_guarded_stack(); });
            fresh.join();
            _exit(result);
        },
        std::chrono::seconds(60));
    EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0)
        << calltrail_test::describe_status(child) << "\n"
        << child.output;
}

int call_back_inside_the_loader(dl_phdr_info*, std::size_t, void* raised) {
    if (*static_cast<int*>(raised) == 0) signal_capture_raise();
    *static_cast<int*>(raised) = 1;
    return 0;
}

// Signals land while one thread loads and unloads a library and while this
// one is inside dl_iterate_phdr; every capture returns.
int capture_while_the_loader_is_busy() {
    handle_usr1(0);
    std::atomic<bool> stop{false};
    std::thread loader([&stop] {
        while (!stop.load()) {
            if (void* library = dlopen(CALLTRAIL_UNLOADABLE_LIBRARY, RTLD_NOW | RTLD_LOCAL)) dlclose(library);
        }
    });
    for (int round = 0; round < 300; ++round) {
        int raised = 0;
        dl_iterate_phdr(&call_back_inside_the_loader, &raised);
        if (!holds(handler_capture, reinterpret_cast<const void*>(&call_back_inside_the_loader)))
            return fail("the capture inside dl_iterate_phdr missed its caller");
        // One signal at a time: a second one sent before the first is handled
        // would merge with it. A capture that never returns hangs the child.
        const int handled = captures.load() + 1;
        pthread_kill(loader.native_handle(), SIGUSR1);
        while (captures.load() < handled) std::this_thread::yield();
    }
    stop.store(true);
    loader.join();
    return 0;
}

TEST(capture_in_signal_handler, returns_while_the_loader_is_busy_here_and_on_another_thread) {
    const calltrail_test::child_result child =
        calltrail_test::run_in_child([] { _exit(capture_while_the_loader_is_busy()); }, std::chrono::seconds(60));
    EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0)
        << calltrail_test::describe_status(child) << "\n"
        << child.output;
}

} // namespace
