// The trace type, the helpers built on it and traced exceptions, against the
// engine and, built with CALLTRAIL_TEST_NOOP, the no-op library.
#include <korvo/calltrail/calltrail.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include "support/counting_allocation.hpp"

namespace ct = korvo::calltrail;

namespace {

#if defined(CALLTRAIL_TEST_NOOP)
constexpr bool engine = false;
#else
constexpr bool engine = true;
#endif

// After every call below, so that none becomes a sibling call, which would
// take its caller's frame off the stack.
#define KEEP_FRAME() __asm__ __volatile__("" ::: "memory")

// Captures through one of the three entry points.
__attribute__((noinline)) void level_3(int how, std::size_t skip, std::string& text) {
    std::ostringstream out;
    if (how == 0) text = ct::to_string(ct::trace::current(skip));
    if (how == 1) text = ct::current_trace(skip);
    if (how == 2) text = ct::print_current_stack(out, skip) ? out.str() : "";
    KEEP_FRAME();
}
__attribute__((noinline)) void level_2(int how, std::size_t skip, std::string& text) {
    level_3(how, skip, text);
    KEEP_FRAME();
}
__attribute__((noinline)) void level_1(int how, std::size_t skip, std::string& text) {
    level_2(how, skip, text);
    KEEP_FRAME();
}

bool names_at(const std::string& text, int position, const std::string& function) {
    return std::regex_search(
        text, std::regex("(^|\n) " + std::to_string(position) + "# (\\(anonymous namespace\\)::)?" + function + "\\("));
}

TEST(trace_capture, every_entry_point_starts_at_its_caller_and_skips_from_there) {
    const char* const callers[] = {"level_3", "level_2", "level_1"};
    for (int how = 0; how < 3; ++how)
        for (std::size_t skip = 0; skip < 2; ++skip) {
            std::string text;
            level_1(how, skip, text);
            SCOPED_TRACE("entry " + std::to_string(how) + ", skip " + std::to_string(skip) + ":\n" + text);
            EXPECT_EQ(names_at(text, 0, callers[skip]), engine);
            EXPECT_EQ(names_at(text, 1, callers[skip + 1]), engine);
            EXPECT_EQ(text.empty(), !engine);
        }
}

__attribute__((noinline)) ct::basic_trace<2> two_frames_deep(int depth) {
    if (depth == 0) return ct::basic_trace<2>::current();
    const ct::basic_trace<2> t = two_frames_deep(depth - 1);
    KEEP_FRAME();
    return t;
}

TEST(trace_capture, keeps_its_capacity_allocates_nothing_and_renders_as_one_text) {
    const ct::basic_trace<2> deep = two_frames_deep(5);
    EXPECT_EQ(deep.size(), engine ? 2u : 0u);
    EXPECT_TRUE(!engine || deep[0].name() == deep[1].name());

    (void)ct::trace::current(); // the unwinder's first walk on a thread may allocate
    const std::size_t before = calltrail_test::allocations();
    const ct::trace t = ct::trace::current();
    EXPECT_EQ(calltrail_test::allocations(), before);

    const std::string text = ct::to_string(t);
    std::ostringstream streamed;
    streamed << t;
    EXPECT_EQ(streamed.str(), text);
    EXPECT_EQ(text, ct::detail::to_string(t.data(), t.size()));
    EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), engine ? t.size() : 0u);
    EXPECT_EQ(std::vector<ct::frame>(t.begin(), t.end()), std::vector<ct::frame>(t.data(), t.data() + t.size()));
}

// Traces in ascending order, made from frames without capturing.
TEST(trace_value, compares_frame_by_frame_and_hashes_equal_traces_alike) {
    static const char places[3] = {};
    const ct::frame a(places), b(places + 1), c(places + 2);
    const std::vector<std::vector<ct::frame>> lists = {{}, {a}, {a, b}, {a, c}, {b, a, c}};
    std::vector<ct::trace> traces;
    for (const auto& list : lists) traces.emplace_back(list.data(), list.size());
    std::unordered_set<ct::trace> distinct(traces.begin(), traces.end());
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const ct::trace copy = traces[i];
        distinct.insert(copy);
        for (std::size_t j = 0; j < traces.size(); ++j) {
            const ct::trace &x = i == j ? copy : traces[i], &y = traces[j];
            EXPECT_EQ((x == y) + 2 * (x < y) + 4 * (x > y) + 8 * (x <= y) + 16 * (x >= y) + 32 * (x != y),
                      (i == j) + 2 * (i < j) + 4 * (i > j) + 8 * (i <= j) + 16 * (i >= j) + 32 * (i != j))
                << i << " against " << j;
        }
    }
    EXPECT_EQ(distinct.size(), traces.size());
    EXPECT_EQ(ct::basic_trace<2>(lists[4].data(), 3), ct::basic_trace<2>(lists[4].data(), 2));
}

__attribute__((noinline)) void throw_traced(int kind) {
    if (kind == 0) throw ct::traced<std::runtime_error>("empty header");
    const std::logic_error made_before("made before");
    if (kind == 1) throw ct::traced<std::logic_error>(made_before);
    // Wrapped with the exception it nests, the trace still starts here.
    try {
        throw made_before;
    } catch (const std::logic_error&) {
        std::throw_with_nested(ct::traced<std::runtime_error>("outer"));
    }
}
__attribute__((noinline)) void call_thrower(int kind) {
    throw_traced(kind);
    KEEP_FRAME();
}

TEST(traced_exception, is_caught_as_its_type_with_what_unchanged_and_the_throw_site_on_top) {
    const char* const whats[] = {"empty header", "made before", "outer"};
    for (int kind = 0; kind < 3; ++kind) {
        try {
            call_thrower(kind);
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), whats[kind]);
            const auto* nested = dynamic_cast<const std::nested_exception*>(&e);
            ASSERT_EQ(nested != nullptr, kind == 2);
            if (nested != nullptr) {
                EXPECT_THROW(nested->rethrow_nested(), std::logic_error);
            }
            ASSERT_NE(ct::trace_of(e), nullptr);
            const std::string text = ct::to_string(*ct::trace_of(e));
            EXPECT_EQ(names_at(text, 0, "throw_traced"), engine) << text;
            EXPECT_EQ(names_at(text, 1, "call_thrower"), engine) << text;
            EXPECT_EQ(ct::trace_of(e)->empty(), !engine);
        }
    }
    EXPECT_EQ(ct::trace_of(std::runtime_error("plain")), nullptr);
}

} // namespace
