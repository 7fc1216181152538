// The trace type, the capture helpers built on it and traced exceptions, run
// against the engine and, built with CALLTRAIL_TEST_NOOP, the no-op library.
#include <korvo/calltrail/calltrail.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
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

// Kept after every call below so that none becomes a sibling call, which
// would take its caller's frame off the stack.
#define KEEP_FRAME() __asm__ __volatile__("" ::: "memory")

enum class entry { trace_current, current_trace, print_current_stack };

__attribute__((noinline)) void level_3(entry how, std::size_t skip, std::string& text) {
    switch (how) {
    case entry::trace_current:
        text = ct::to_string(ct::trace::current(skip));
        break;
    case entry::current_trace:
        text = ct::current_trace(skip);
        break;
    case entry::print_current_stack: {
        std::ostringstream out;
        ct::print_current_stack(out, skip);
        text = out.str();
        break;
    }
    }
    KEEP_FRAME();
}

__attribute__((noinline)) void level_2(entry how, std::size_t skip, std::string& text) {
    level_3(how, skip, text);
    KEEP_FRAME();
}

__attribute__((noinline)) void level_1(entry how, std::size_t skip, std::string& text) {
    level_2(how, skip, text);
    KEEP_FRAME();
}

bool starts_with_line(const std::string& text, int position, const std::string& function) {
    const std::regex line("(^|\n) " + std::to_string(position) + "# (\\(anonymous namespace\\)::)?" + function + "\\(");
    return std::regex_search(text, line);
}

TEST(trace_capture, every_entry_point_starts_at_its_caller_and_skips_from_there) {
    const char* const callers[] = {"level_3", "level_2", "level_1"};
    for (entry how : {entry::trace_current, entry::current_trace, entry::print_current_stack})
        for (std::size_t skip = 0; skip < 2; ++skip) {
            std::string text;
            level_1(how, skip, text);
            SCOPED_TRACE("entry " + std::to_string(static_cast<int>(how)) + ", skip " + std::to_string(skip) + ":\n" +
                         text);
            if (!engine) {
                EXPECT_EQ(text, "");
                continue;
            }
            EXPECT_TRUE(starts_with_line(text, 0, callers[skip]));
            EXPECT_TRUE(starts_with_line(text, 1, callers[skip + 1]));
        }
}

__attribute__((noinline)) ct::basic_trace<2> two_frames_deep(int depth) {
    if (depth > 0) {
        ct::basic_trace<2> t = two_frames_deep(depth - 1);
        KEEP_FRAME();
        return t;
    }
    return ct::basic_trace<2>::current();
}

__attribute__((noinline)) ct::trace capture_here() {
    ct::trace t = ct::trace::current();
    KEEP_FRAME();
    return t;
}

TEST(trace_capture, keeps_at_most_its_capacity_and_allocates_nothing) {
    const ct::basic_trace<2> deep = two_frames_deep(5);
    EXPECT_EQ(deep.max_size(), 2u);
    EXPECT_EQ(deep.size(), engine ? 2u : 0u);
    if (engine) {
        EXPECT_NE(deep[0].name().find("two_frames_deep"), std::string::npos);
        EXPECT_EQ(deep[0].name(), deep[1].name());
    }

    capture_here(); // the unwinder's first walk on a thread may allocate
    const std::size_t before = calltrail_test::allocations();
    const ct::trace a = capture_here();
    const ct::trace other = ct::trace::current();
    EXPECT_EQ(calltrail_test::allocations(), before);
    EXPECT_EQ(a != other, engine);
}

TEST(trace_capture, renders_as_one_numbered_text) {
    const ct::trace t = capture_here();
    const std::string text = ct::to_string(t);
    std::ostringstream streamed;
    streamed << t;
    EXPECT_EQ(streamed.str(), text);
    EXPECT_EQ(text, ct::detail::to_string(t.data(), t.size()));
    EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), engine ? t.size() : 0u);
    EXPECT_EQ(t.empty(), !engine);
    std::size_t i = 0;
    for (const ct::frame& f : t) EXPECT_EQ(f, t[i++]);
    EXPECT_EQ(i, t.size());
}

const void* address(std::uintptr_t value) { return reinterpret_cast<const void*>(value); }

// Traces listed in ascending order, made without capturing.
TEST(trace_value, compares_frame_by_frame_and_hashes_equal_traces_alike) {
    const ct::frame a(address(0x1000)), b(address(0x2000)), c(address(0x3000));
    const std::vector<std::vector<ct::frame>> frames = {{}, {a}, {a, b}, {a, c}, {b}, {b, a, c}};
    std::vector<ct::trace> traces;
    for (const auto& list : frames) traces.emplace_back(list.data(), list.size());
    std::unordered_set<ct::trace> distinct(traces.begin(), traces.end());
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const ct::trace copy = traces[i];
        EXPECT_EQ(std::hash<ct::trace>()(copy), std::hash<ct::trace>()(traces[i]));
        distinct.insert(copy);
        for (std::size_t j = 0; j < traces.size(); ++j) {
            SCOPED_TRACE(std::to_string(i) + " against " + std::to_string(j));
            const ct::trace& x = traces[i];
            const ct::trace& y = traces[j];
            EXPECT_EQ(x == y, i == j);
            EXPECT_EQ(x != y, i != j);
            EXPECT_EQ(x < y, i < j);
            EXPECT_EQ(x > y, i > j);
            EXPECT_EQ(x <= y, i <= j);
            EXPECT_EQ(x >= y, i >= j);
        }
    }
    EXPECT_EQ(distinct.size(), traces.size());

    const ct::frame five[] = {a, b, c, a, b};
    const ct::basic_trace<3> cut(five, 5);
    EXPECT_EQ(std::vector<ct::frame>(cut.begin(), cut.end()), (std::vector<ct::frame>{a, b, c}));
}

// A type of the caller's own, with a what() of its own.
class config_error : public std::exception {
public:
    explicit config_error(int line) : line_(line) {}
    const char* what() const noexcept override { return line_ == 7 ? "bad line 7" : "bad line"; }
    int line() const { return line_; }

private:
    int line_;
};

__attribute__((noinline)) void throw_traced(int kind) {
    if (kind == 0) throw ct::traced<std::runtime_error>("empty header");
    if (kind == 1) throw ct::traced<config_error>(7);
    const std::logic_error original("made earlier");
    throw ct::traced<std::logic_error>(original);
}

__attribute__((noinline)) void call_thrower(int kind) {
    throw_traced(kind);
    KEEP_FRAME();
}

TEST(traced_exception, is_caught_as_its_type_with_what_unchanged_and_the_throw_site_on_top) {
    const char* const texts[] = {"empty header", "bad line 7", "made earlier"};
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(texts[kind]);
        std::exception_ptr kept;
        ct::trace thrown_from;
        try {
            call_thrower(kind);
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), texts[kind]);
            const ct::trace* where = ct::trace_of(e);
            ASSERT_NE(where, nullptr);
            const std::string text = ct::to_string(*where);
            if (engine) {
                EXPECT_TRUE(starts_with_line(text, 0, "throw_traced")) << text;
                EXPECT_TRUE(starts_with_line(text, 1, "call_thrower")) << text;
            } else {
                EXPECT_TRUE(where->empty());
            }
            thrown_from = *where;
            kept = std::current_exception();
        }
        // A rethrown copy keeps the trace it was made with.
        try {
            std::rethrow_exception(kept);
        } catch (const std::exception& again) {
            ASSERT_NE(ct::trace_of(again), nullptr);
            EXPECT_EQ(*ct::trace_of(again), thrown_from);
        }
    }
    try {
        throw_traced(1);
    } catch (const config_error& e) {
        EXPECT_EQ(e.line(), 7);
        EXPECT_NE(ct::trace_of(e), nullptr);
    }
    EXPECT_EQ(ct::trace_of(std::runtime_error("plain")), nullptr);
}

} // namespace
