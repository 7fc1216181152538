#include <korvo/calltrail/calltrail.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

namespace ct = korvo::calltrail;

namespace {

const void* address(std::uintptr_t value) { return reinterpret_cast<const void*>(value); }

TEST(noop, collect_returns_zero_and_writes_nothing) {
    const void* out[4] = {address(1), address(2), address(3), address(4)};
    EXPECT_EQ(ct::detail::this_thread_frames::collect(out, 4, 0), 0u);
    EXPECT_EQ(ct::detail::this_thread_frames::collect(out, 4, 1000), 0u);
    EXPECT_EQ(out[0], address(1));
    EXPECT_EQ(out[3], address(4));
    EXPECT_EQ(ct::detail::this_thread_frames::collect(nullptr, ~std::size_t{0}, ~std::size_t{0}), 0u);
}

TEST(noop, every_frame_has_nothing) {
    for (const void* a : {address(0), address(1), address(0x7fff12345678), address(~std::uintptr_t{0}),
                          reinterpret_cast<const void*>(&std::abort)}) {
        const ct::frame f(a);
        EXPECT_EQ(f.name(), "");
        EXPECT_EQ(f.source_file(), "");
        EXPECT_EQ(f.source_line(), 0u);
        EXPECT_EQ(ct::to_string(f), "");
    }
}

TEST(noop, traces_are_empty_for_any_count) {
    const ct::frame frames[2] = {ct::frame(address(1)), ct::frame(address(2))};
    EXPECT_EQ(ct::detail::to_string(frames, 2), "");
    EXPECT_EQ(ct::detail::to_string(frames, 0), "");
    // Neither argument is read.
    EXPECT_EQ(ct::detail::to_string(nullptr, ~std::size_t{0}), "");
}

TEST(noop, dump_answers_zero) {
    EXPECT_EQ(ct::detail::dump(static_cast<void*>(nullptr), nullptr, ~std::size_t{0}), 0u);
    EXPECT_EQ(ct::detail::dump(static_cast<const char*>(nullptr), nullptr, 0), 0u);
    const void* frames[1] = {address(9)};
    EXPECT_EQ(ct::detail::dump("trace.txt", frames, 1), 0u);
}

TEST(noop, answers_from_many_threads) {
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 1000; ++i) {
                const ct::frame f(address(static_cast<std::uintptr_t>(i)));
                if (!f.name().empty() || f.source_line() != 0 || !ct::to_string(f).empty()) ++failures[t];
            }
        });
    for (auto& thread : threads) thread.join();
    for (int failure : failures) EXPECT_EQ(failure, 0);
}

} // namespace
