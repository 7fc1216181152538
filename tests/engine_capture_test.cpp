#include <korvo/calltrail/this_thread_frames.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/fake_engine_fixture.hpp"

using korvo::calltrail::detail::this_thread_frames;

namespace {

using walker_call = fake_engine_test;

TEST_F(walker_call, takes_the_low32_bits_of_skip_then_of_max_frames_and_asks_no_hash) {
    fake_platform::scripted().walker_count = 3;
    const void* out[8] = {};
    const std::uint64_t max_frames = (std::uint64_t{1} << 32) + 3;
    const std::uint64_t skip = (std::uint64_t{1} << 32) + 7;
    EXPECT_EQ(this_thread_frames::collect(out, max_frames, skip), 3u);

    ASSERT_EQ(fake_platform::call_names(), std::vector<std::string>{"RtlCaptureStackBackTrace"});
    const fake_platform::call& c = fake_platform::calls()[0];
    EXPECT_EQ(c.skip, 7u);
    EXPECT_EQ(c.count, 3u);
    EXPECT_EQ(static_cast<const void*>(c.out), static_cast<const void*>(out));
    EXPECT_EQ(c.hash, nullptr);
}

TEST_F(walker_call, keeps_the_order_of_its_own_arguments_apart) {
    const void* out[1] = {};
    this_thread_frames::collect(out, 5, 9);
    this_thread_frames::collect(nullptr, 0, std::uint64_t{1} << 32);
    const auto walks = fake_platform::calls_named("RtlCaptureStackBackTrace");
    ASSERT_EQ(walks.size(), 2u);
    EXPECT_EQ(walks[0].skip, 9u);
    EXPECT_EQ(walks[0].count, 5u);
    EXPECT_EQ(walks[1].skip, 0u);
    EXPECT_EQ(walks[1].count, 0u);
    EXPECT_EQ(walks[1].out, nullptr);
}

TEST_F(walker_call, widens_the_sixteen_bit_count_without_sign) {
    for (const USHORT count : {USHORT{0}, USHORT{0x7FFF}, USHORT{0x8000}, USHORT{0xFFFF}}) {
        restart();
        fake_platform::scripted().walker_count = count;
        EXPECT_EQ(this_thread_frames::collect(nullptr, 0xFFFFFFFFu, 0), std::size_t{count});
    }
}

} // namespace
