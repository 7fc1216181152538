// collect against libgcc's unwinder, frame by frame, on the stacks where a
// walker goes wrong: across signal frames, functions that realign the stack
// or allocate on it, the C library's own frames, a catch block, a fresh
// thread, and a library loaded where another one was.
#include <korvo/calltrail/this_thread_frames.hpp>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unwind.h>

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using korvo::calltrail::detail::this_thread_frames;

namespace {

struct walks {
    std::vector<const void*> ours;
    std::vector<const void*> libgcc;
};

_Unwind_Reason_Code record(_Unwind_Context* context, void* argument) {
    auto& frames = *static_cast<std::vector<const void*>*>(argument);
    const auto ip = _Unwind_GetIP(context);
    if (ip == 0 || frames.size() == 256) return _URC_END_OF_STACK;
    frames.push_back(reinterpret_cast<const void*>(ip));
    return _URC_NO_REASON;
}

walks last_walks;

// Both walks from here: collect's first frame is collect itself, libgcc's is
// this function, at another call; every frame above them must agree.
extern "C" __attribute__((noinline)) std::size_t agreement_walk(void*) {
    const void* ours[256];
    const std::size_t count = this_thread_frames::collect(ours, 256, 0);
    last_walks.ours.assign(ours, ours + count);
    last_walks.libgcc.clear();
    _Unwind_Backtrace(&record, &last_walks.libgcc);
    __asm__ __volatile__("" ::: "memory");
    return count;
}

void expect_agreement(const char* where) {
    const walks& w = last_walks;
    ASSERT_GE(w.ours.size(), 3u) << where;
    ASSERT_EQ(w.ours.size(), w.libgcc.size() + 1) << where;
    for (std::size_t i = 2; i < w.ours.size(); ++i) EXPECT_EQ(w.ours[i], w.libgcc[i - 1]) << where << ", frame " << i;
}

extern "C" __attribute__((noinline)) void agreement_on_signal(int) { agreement_walk(nullptr); }

extern "C" __attribute__((noinline)) void agreement_realigned() {
    alignas(64) volatile char block[200];
    block[0] = 1;
    agreement_walk(nullptr);
    block[1] = block[0];
}

extern "C" __attribute__((noinline)) void agreement_alloca(int size) {
    auto* block = static_cast<volatile char*>(__builtin_alloca(size));
    block[0] = 1;
    agreement_walk(nullptr);
    block[1] = block[0];
}

int agreement_compare(const void* a, const void* b) {
    static bool walked = false;
    if (!walked) agreement_walk(nullptr);
    walked = true;
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

struct stack_case {
    const char* where;
    void (*walk_there)();
};

TEST(collect_agreement, matches_libgcc_on_every_kind_of_frame) {
    const stack_case cases[] = {
        {"a plain call", [] { agreement_walk(nullptr); }},
        {"a signal handler on an alternate stack",
         [] {
             std::vector<char> alternate(std::size_t{256} * 1024);
             stack_t stack{};
             stack.ss_sp = alternate.data();
             stack.ss_size = alternate.size();
             sigaltstack(&stack, nullptr);
             struct sigaction action {};
             action.sa_handler = &agreement_on_signal;
             action.sa_flags = SA_ONSTACK;
             sigaction(SIGUSR1, &action, nullptr);
             raise(SIGUSR1);
             stack.ss_flags = SS_DISABLE;
             sigaltstack(&stack, nullptr);
         }},
        {"a function that realigns the stack", &agreement_realigned},
        {"a function that allocates on the stack", [] { agreement_alloca(1000); }},
        {"a callback of the C library",
         [] {
             int values[] = {3, 1, 2};
             std::qsort(values, 3, sizeof values[0], &agreement_compare);
         }},
        {"a catch block",
         [] {
             try {
                 throw std::runtime_error("caught");
             } catch (const std::exception&) {
                 agreement_walk(nullptr);
             }
         }},
        {"a fresh thread", [] { std::thread([] { agreement_walk(nullptr); }).join(); }},
    };
    for (const stack_case& c : cases) {
        c.walk_there();
        expect_agreement(c.where);
    }
}

// Rules are cached by address; a library loaded where an unloaded one was
// must not be walked with its predecessor's.
TEST(collect_agreement, matches_libgcc_in_a_library_loaded_where_another_was) {
    const std::string twins[] = {CALLTRAIL_TWIN_LIBRARY_A, CALLTRAIL_TWIN_LIBRARY_B};
    const void* previous = nullptr;
    bool reused = false;
    for (int round = 0; round < 4; ++round) {
        void* library = dlopen(twins[round % 2].c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        using call_fn = std::size_t (*)(std::size_t(*)(void*), void*);
        const auto call = reinterpret_cast<call_fn>(dlsym(library, "ct_twin_call"));
        ASSERT_NE(call, nullptr);
        call(&agreement_walk, nullptr);
        expect_agreement(twins[round % 2].c_str());
        reused = reused || previous == reinterpret_cast<const void*>(call);
        previous = reinterpret_cast<const void*>(call);
        dlclose(library);
    }
    // The loader here puts each where the other was; elsewhere the rounds
    // still compare the walks, but test the cache less.
    if (!reused) std::cout << "the two libraries were never loaded at the same address\n";
}

} // namespace
