#include <korvo/calltrail/calltrail.hpp>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <unwind.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/chain_library.hpp"

using korvo::calltrail::detail::this_thread_frames;

namespace {

// Name of the function holding a return address (looked up one byte back, at
// the call itself); "" when the address is in no symbol.
std::string function_at(const void* return_address) {
    Dl_info info{};
    const auto* call = static_cast<const char*>(return_address) - 1;
    if (dladdr(call, &info) == 0 || info.dli_sname == nullptr) return "";
    return info.dli_sname;
}

std::string module_at(const void* return_address) {
    Dl_info info{};
    if (dladdr(static_cast<const char*>(return_address) - 1, &info) == 0 || info.dli_fname == nullptr) return "";
    return info.dli_fname;
}

struct capture_request {
    std::size_t max_frames;
    std::size_t skip;
    std::vector<const void*> frames;
};

} // namespace

// Exported (the test executable is linked with its symbols dynamic) and
// unmangled, so that dladdr can name them.
extern "C" {

__attribute__((noinline)) std::size_t ct_capture_leaf(void* argument) {
    auto& request = *static_cast<capture_request*>(argument);
    const std::size_t count = this_thread_frames::collect(request.frames.data(), request.max_frames, request.skip);
    __asm__ __volatile__("" ::: "memory");
    return count;
}

__attribute__((noinline)) std::size_t ct_capture_outer(capture_request* request) {
    const std::size_t count = ct_chain_through_library(&ct_capture_leaf, request);
    __asm__ __volatile__("" ::: "memory");
    return count;
}

} // extern "C"

namespace {

__attribute__((noinline)) capture_request capture(std::size_t max_frames, std::size_t skip, std::size_t room) {
    capture_request request{max_frames, skip, std::vector<const void*>(room, nullptr)};
    const std::size_t count = ct_capture_outer(&request);
    request.frames.resize(count);
    return request;
}

struct ask {
    std::size_t max_frames;
    std::size_t skip;
    std::size_t room;
};

// Captures from one call site, so that walks compare frame by frame.
__attribute__((noinline)) std::vector<capture_request> capture_each(std::initializer_list<ask> asks) {
    std::vector<capture_request> results;
    for (const ask& a : asks) results.push_back(capture(a.max_frames, a.skip, a.room));
    return results;
}

TEST(collect, reports_the_chain_innermost_first_across_a_library) {
    const auto request = capture(64, 0, 64);
    ASSERT_GE(request.frames.size(), 5u);
    EXPECT_NE(function_at(request.frames[0]).find("this_thread_frames7collect"), std::string::npos)
        << function_at(request.frames[0]);
    EXPECT_EQ(function_at(request.frames[1]), "ct_capture_leaf");
    EXPECT_EQ(function_at(request.frames[2]), "ct_chain_through_library");
    EXPECT_NE(module_at(request.frames[2]).find("libcalltrail_test_chain"), std::string::npos);
    EXPECT_EQ(function_at(request.frames[3]), "ct_capture_outer");
}

TEST(collect, skip_passes_over_frames_from_the_innermost) {
    const auto walks = capture_each({{64, 0, 64}, {64, 1, 64}, {64, 2, 64}, {64, 3, 64}});
    const auto& all = walks[0];
    for (std::size_t skip : {1u, 2u, 3u}) {
        const auto& skipped = walks[skip];
        ASSERT_GE(skipped.frames.size(), 3u);
        EXPECT_EQ(skipped.frames.size() + skip, all.frames.size()) << "skip " << skip;
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(skipped.frames[i], all.frames[i + skip]) << "skip " << skip;
    }
    EXPECT_EQ(function_at(capture(64, 1, 64).frames[0]), "ct_capture_leaf");
}

TEST(collect, writes_no_more_than_asked_and_nothing_past_the_count) {
    const void* sentinel = reinterpret_cast<const void*>(std::uintptr_t{0x5a5a5a5a});
    for (std::size_t asked : {0u, 1u, 2u, 5u}) {
        capture_request request{asked, 0, std::vector<const void*>(16, sentinel)};
        const std::size_t count = ct_capture_outer(&request);
        EXPECT_EQ(count, asked);
        for (std::size_t i = count; i < request.frames.size(); ++i)
            EXPECT_EQ(request.frames[i], sentinel) << "entry " << i << " of " << asked;
    }
}

TEST(collect, narrows_both_counts_to_thirty_two_bits) {
    const auto three = capture((std::size_t{1} << 32) + 3, 0, 16);
    EXPECT_EQ(three.frames.size(), 3u);
    const auto walks = capture_each({{64, std::size_t{1} << 32, 64}, {64, 0, 64}});
    EXPECT_EQ(walks[0].frames, walks[1].frames);
    EXPECT_EQ(capture(std::size_t{1} << 32, 0, 16).frames.size(), 0u);
}

TEST(collect, skipping_past_the_stack_gives_nothing) { EXPECT_EQ(capture(8, 100000, 8).frames.size(), 0u); }

// Walks too long for the walker's stack buffer go through the other unwinder;
// both must agree on every frame.
TEST(collect, long_walks_agree_with_short_ones) {
    const auto walks = capture_each({{64, 0, 64}, {1000, 0, 1000}, {300, 2, 300}});
    const auto& short_walk = walks[0];
    const auto& long_walk = walks[1];
    const auto& long_skipped = walks[2];
    EXPECT_EQ(long_walk.frames, short_walk.frames);
    ASSERT_EQ(long_skipped.frames.size() + 2, short_walk.frames.size());
    EXPECT_TRUE(std::equal(long_skipped.frames.begin(), long_skipped.frames.end(), short_walk.frames.begin() + 2));
}

TEST(collect, never_reports_more_than_the_walker_limit) {
    EXPECT_LE(capture(0xFFFFFFFFu, 0, 70000).frames.size(), 65535u);
}

// Capture from a signal handler running on an alternate stack.
capture_request* handler_request = nullptr;
std::size_t handler_count = 0;

extern "C" __attribute__((noinline)) void ct_signal_handler(int) {
    handler_count = this_thread_frames::collect(handler_request->frames.data(), handler_request->max_frames, 0);
}

extern "C" __attribute__((noinline)) void ct_raise_signal() {
    raise(SIGUSR1);
    __asm__ __volatile__("" ::: "memory");
}

TEST(collect, works_in_a_signal_handler_on_an_alternate_stack) {
    std::vector<char> alternate(64 * 1024);
    stack_t stack{};
    stack.ss_sp = alternate.data();
    stack.ss_size = alternate.size();
    stack_t previous{};
    ASSERT_EQ(sigaltstack(&stack, &previous), 0);
    struct sigaction action {};
    action.sa_handler = &ct_signal_handler;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    struct sigaction previous_action {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous_action), 0);

    capture_request request{64, 0, std::vector<const void*>(64)};
    handler_request = &request;
    ct_raise_signal();
    sigaction(SIGUSR1, &previous_action, nullptr);
    sigaltstack(&previous, nullptr);

    request.frames.resize(handler_count);
    std::vector<std::string> names;
    for (const void* address : request.frames) names.push_back(function_at(address));
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names[1], "ct_signal_handler");
    // The walk leaves the alternate stack through the signal frame.
    EXPECT_NE(std::find(names.begin(), names.end(), "ct_raise_signal"), names.end());
}

// The unwinder is private to calltrail: exceptions in the host keep going
// through the system's own unwinder.
TEST(collect, leaves_the_hosts_unwinder_alone) {
    capture(8, 0, 8);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "unw_backtrace"), nullptr);
    Dl_info info{};
    void* raise_exception = dlsym(RTLD_DEFAULT, "_Unwind_RaiseException");
    ASSERT_NE(raise_exception, nullptr);
    ASSERT_NE(dladdr(raise_exception, &info), 0);
    EXPECT_NE(std::string(info.dli_fname).find("libgcc_s"), std::string::npos) << info.dli_fname;
    EXPECT_THROW(throw std::runtime_error("through libgcc"), std::runtime_error);
}

TEST(dump, answers_zero_and_touches_nothing) {
    const void* frames[2] = {reinterpret_cast<const void*>(1), reinterpret_cast<const void*>(2)};
    char destination[4] = {'a', 'b', 'c', '\0'};
    EXPECT_EQ(korvo::calltrail::detail::dump(static_cast<void*>(destination), frames, 2), 0u);
    EXPECT_EQ(korvo::calltrail::detail::dump(static_cast<const char*>(destination), frames, 2), 0u);
    EXPECT_EQ(korvo::calltrail::detail::dump(static_cast<void*>(nullptr), nullptr, 0), 0u);
    EXPECT_EQ(korvo::calltrail::detail::dump(static_cast<const char*>(nullptr), nullptr, ~std::size_t{0}), 0u);
    EXPECT_STREQ(destination, "abc");
    EXPECT_EQ(frames[0], reinterpret_cast<const void*>(1));
    EXPECT_EQ(frames[1], reinterpret_cast<const void*>(2));
}

} // namespace
