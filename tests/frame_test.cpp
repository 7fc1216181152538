#include <korvo/calltrail/frame.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <type_traits>
#include <unordered_set>

using korvo::calltrail::frame;

namespace {

const void* address(std::uintptr_t value) { return reinterpret_cast<const void*>(value); }

TEST(frame, is_one_address_wide_and_laid_out_as_one) {
    static_assert(sizeof(frame) == sizeof(const void*), "");
    static_assert(std::is_trivially_copyable<frame>::value, "");
    static_assert(std::is_standard_layout<frame>::value, "");
    const frame frames[3] = {frame(address(0x10)), frame(address(0x20)), frame(address(0x30))};
    const auto* as_addresses = reinterpret_cast<const void* const*>(frames);
    EXPECT_EQ(as_addresses[0], address(0x10));
    EXPECT_EQ(as_addresses[2], address(0x30));
}

TEST(frame, keeps_the_address_it_was_made_from) {
    EXPECT_EQ(frame(address(0xdeadbeef)).code_address(), address(0xdeadbeef));
    EXPECT_EQ(frame(nullptr).code_address(), nullptr);
    EXPECT_EQ(frame().code_address(), nullptr);
    const frame original(address(~std::uintptr_t{0}));
    frame copy = original;
    EXPECT_EQ(copy.code_address(), original.code_address());
    copy = frame(address(1));
    EXPECT_EQ(original.code_address(), address(~std::uintptr_t{0}));
}

TEST(frame, compares_and_hashes_by_address) {
    const frame low(address(0x1000)), high(address(0x2000)), same(address(0x1000));
    EXPECT_TRUE(low == same);
    EXPECT_FALSE(low != same);
    EXPECT_TRUE(low != high);
    EXPECT_TRUE(low < high && high > low && low <= same && low >= same && !(high <= low));
    EXPECT_EQ(std::hash<frame>()(low), std::hash<frame>()(same));
    std::unordered_set<frame> seen{low, high, same};
    EXPECT_EQ(seen.size(), 2u);
    std::map<frame, int> ordered{{high, 2}, {low, 1}};
    EXPECT_EQ(ordered.begin()->first, low);
}

TEST(frame, streams_its_text) {
    const frame f(address(0x1234));
    std::ostringstream out;
    out << f;
    EXPECT_EQ(out.str(), korvo::calltrail::to_string(f));
}

} // namespace
