#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <gtest/gtest.h>

#include <locale>
#include <new>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "engine/symbol_resolver.hpp"
#include "support/fake_engine_fixture.hpp"

using fake_platform::found;
using fake_platform::missing;
using fake_platform::too_long;
using korvo::calltrail::frame;
using korvo::calltrail::symbol_resolver;
using korvo::calltrail::to_string;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Digits in groups of three with a comma, as many locales print them.
struct comma_thousands : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

// A grouping facet that gives out after a number of conversions, once armed
// (installing a locale may consult the facet itself).
struct failing_grouping : comma_thousands {
    std::string do_grouping() const override {
        if (armed && left-- == 0) throw std::bad_cast();
        return comma_thousands::do_grouping();
    }
    mutable bool armed = false;
    mutable int left = 0;
};

class global_locale_scope {
public:
    explicit global_locale_scope(std::numpunct<char>* facet) {
        std::locale::global(std::locale(std::locale::classic(), facet));
    }
    ~global_locale_scope() { std::locale::global(std::locale::classic()); }
    global_locale_scope(const global_locale_scope&) = delete;
    global_locale_scope& operator=(const global_locale_scope&) = delete;
};

class rendering : public fake_engine_test {
protected:
    static void answer(const fake_platform::text_answer& name, const fake_platform::text_answer& line) {
        fake_platform::scripted().names.push_back(name);
        fake_platform::scripted().lines.push_back(line);
    }
    // Frames the engine knows nothing about, each shown by its address.
    static std::vector<frame> unknown_frames(std::size_t count) {
        std::vector<frame> frames;
        for (std::size_t i = 0; i < count; ++i) frames.emplace_back(address(0x1000 + i));
        return frames;
    }
};

TEST_F(rendering, worked_example) {
    answer(found("demo_app!worker_loop"), found("c:\\work\\demo\\worker", 88));
    answer(found("jobsys!dispatch_job"), missing());
    answer(missing(), missing());
    const frame frames[] = {frame(address(0x00007FF6A1B21234)), frame(address(0x00007FFB10C04455)),
                            frame(address(0x000000000040F00D))};
    EXPECT_EQ(korvo::calltrail::detail::to_string(frames, 3), " 0# worker_loop at c:\\work\\demo\\worker:88\n"
                                                              " 1# dispatch_job in jobsys\n"
                                                              " 2# 0x000000000040F00D\n");

    // One resolver for the trace, and per frame the name before the source.
    std::vector<std::string> expected = ready_opening();
    for (int i = 0; i < 3; ++i) {
        expected.push_back("symbols1.GetNameByOffset");
        expected.push_back("symbols1.GetLineByOffset");
    }
    expected.push_back("symbols1.Release");
    expected.push_back("CoUninitialize");
    EXPECT_EQ(fake_platform::call_names(), expected);
    const auto names = fake_platform::calls_named("symbols1.GetNameByOffset");
    const auto lines = fake_platform::calls_named("symbols1.GetLineByOffset");
    ASSERT_EQ(names.size(), 3u);
    ASSERT_EQ(lines.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(names[i].offset, reinterpret_cast<std::uintptr_t>(frames[i].code_address()));
        EXPECT_EQ(lines[i].offset, reinterpret_cast<std::uintptr_t>(frames[i].code_address()));
        // The source is asked for with a buffer: path and line together.
        EXPECT_NE(lines[i].buffer, nullptr);
    }
}

TEST_F(rendering, one_frame_has_neither_position_nor_line_feed) {
    answer(found("jobsys!dispatch_job"), missing());
    EXPECT_EQ(to_string(frame(address(0x00007FFB10C04455))), "dispatch_job in jobsys");
    EXPECT_EQ(fake_platform::call_names(),
              joined(ready_opening(),
                     {"symbols1.GetNameByOffset", "symbols1.GetLineByOffset", "symbols1.Release", "CoUninitialize"}));

    answer(found("jobsys!dispatch_job"), missing());
    const frame same(address(0x00007FFB10C04455));
    EXPECT_EQ(korvo::calltrail::detail::to_string(&same, 1), " 0# dispatch_job in jobsys\n");
}

TEST_F(rendering, positions_below_ten_are_padded_and_from_a_hundred_on_are_wider) {
    const std::vector<frame> frames = unknown_frames(101);
    const std::vector<std::string> lines = lines_of(korvo::calltrail::detail::to_string(frames.data(), frames.size()));
    ASSERT_EQ(lines.size(), 101u);
    EXPECT_EQ(lines[0], " 0# 0x0000000000001000");
    EXPECT_EQ(lines[9], " 9# 0x0000000000001009");
    EXPECT_EQ(lines[10], "10# 0x000000000000100A");
    EXPECT_EQ(lines[99], "99# 0x0000000000001063");
    EXPECT_EQ(lines[100], "100# 0x0000000000001064");
}

TEST_F(rendering, trace_is_only_lines_each_ending_in_a_line_feed) {
    answer(found("m!a"), missing());
    answer(found("m!b"), missing());
    const std::vector<frame> frames = unknown_frames(2);
    const std::string text = korvo::calltrail::detail::to_string(frames.data(), frames.size());
    EXPECT_EQ(text, " 0# a in m\n 1# b in m\n");
    EXPECT_EQ(text.find('\r'), std::string::npos);
    // Room for ordinary lines was made before the first one.
    EXPECT_GE(text.capacity(), 2u * 64u);
}

TEST_F(rendering, an_unnamed_frame_shows_all_sixteen_upper_case_digits) {
    struct shown {
        std::uintptr_t value;
        const char* text;
    };
    const shown cases[] = {
        {0x1234, "0x0000000000001234"},
        {0, "0x0000000000000000"},
        {0xABCDEF, "0x0000000000ABCDEF"},
        {0xFFFFFFFFFFFFFFFFu, "0xFFFFFFFFFFFFFFFF"},
        {0x0123456789ABCDEFu, "0x0123456789ABCDEF"},
    };
    for (const shown& c : cases) {
        answer(missing(), missing());
        EXPECT_EQ(to_string(frame(address(c.value))), c.text);
    }
}

TEST_F(rendering, tail_rules) {
    struct tail_case {
        const char* what;
        fake_platform::text_answer name;
        fake_platform::text_answer line;
        const char* expected;
    };
    const tail_case cases[] = {
        {"source hides the module", found("demo_app!worker_loop"), found("worker.cpp", 88),
         "worker_loop at worker.cpp:88"},
        {"file with line 0 falls back to the module", found("demo_app!worker_loop"), found("worker.cpp", 0),
         "worker_loop in demo_app"},
        {"line with an empty file falls back to the module", found("demo_app!worker_loop"), found("", 88),
         "worker_loop in demo_app"},
        {"file with line 0 and no module", found("!worker_loop"), found("worker.cpp", 0), "worker_loop"},
        {"no module, no source", found("!worker_loop"), missing(), "worker_loop"},
        {"address with the module", found("demo_app"), missing(), "0x0000000000001234 in demo_app"},
        {"address with a source", found("demo_app!"), found("worker.cpp", 7), "0x0000000000001234 at worker.cpp:7"},
        {"address alone", missing(), found("worker.cpp", 0), "0x0000000000001234"},
    };
    for (const tail_case& c : cases) {
        answer(c.name, c.line);
        EXPECT_EQ(to_string(frame(address(0x1234))), c.expected) << c.what;
    }
}

TEST_F(rendering, long_texts_from_second_calls_carry_no_nul) {
    const std::string function(300, 'f');
    const std::string path = "/src/" + std::string(300, 'p');
    answer(too_long("demo_app!" + function), too_long(path, 1));
    fake_platform::scripted().names.push_back(found("demo_app!" + function));
    fake_platform::scripted().lines.push_back(found(path, 42));
    const std::string text = to_string(frame(address(0x10)));
    EXPECT_EQ(text, function + " at " + path + ":42");
    EXPECT_EQ(text.find('\0'), std::string::npos);
}

TEST_F(rendering, render_frame_only_appends) {
    answer(found("jobsys!dispatch_job"), missing());
    const symbol_resolver resolver;
    std::string out = "before: ";
    resolver.render_frame(address(0x10), out);
    EXPECT_EQ(out, "before: dispatch_job in jobsys");
}

TEST_F(rendering, nothing_at_all_without_an_engine) {
    for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{100}}) {
        restart();
        fake_platform::scripted().query_symbols = {S_OK, false};
        const std::vector<frame> frames = unknown_frames(count);
        EXPECT_EQ(korvo::calltrail::detail::to_string(frames.data(), count), "") << count;
        EXPECT_EQ(fake_platform::call_names(), joined(ready_opening(), {"CoUninitialize"})) << count;
    }

    restart();
    fake_platform::scripted().debug_create = {E_FAIL, false};
    EXPECT_EQ(to_string(frame(address(0x10))), "");
    EXPECT_EQ(korvo::calltrail::detail::to_string(nullptr, 0), "");

    restart();
    fake_platform::scripted().query_symbols = {S_OK, false};
    const symbol_resolver resolver;
    std::string out = "kept";
    resolver.render_frame(address(0x10), out);
    EXPECT_EQ(out, "kept");
}

TEST_F(rendering, an_empty_trace_through_a_ready_engine_is_empty) {
    EXPECT_EQ(korvo::calltrail::detail::to_string(nullptr, 0), "");
    EXPECT_EQ(fake_platform::call_names(), joined(ready_opening(), {"symbols1.Release", "CoUninitialize"}));
}

TEST_F(rendering, classic_locale_never_groups) {
    answer(found("m!f"), found("big.cpp", 4294967295u));
    EXPECT_EQ(to_string(frame(address(0x10))), "f at big.cpp:4294967295");
    const std::vector<frame> frames = unknown_frames(1001);
    const std::vector<std::string> lines = lines_of(korvo::calltrail::detail::to_string(frames.data(), frames.size()));
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_EQ(lines[1000].substr(0, 6), "1000# ");
}

TEST_F(rendering, a_grouping_global_locale_separates_from_a_thousand_on) {
    const global_locale_scope grouping(new comma_thousands);
    answer(found("m!f"), found("big.cpp", 12345));
    answer(found("m!f"), found("big.cpp", 999));
    answer(found("m!f"), found("big.cpp", 1000));
    EXPECT_EQ(to_string(frame(address(0x10))), "f at big.cpp:12,345");
    EXPECT_EQ(to_string(frame(address(0x10))), "f at big.cpp:999");
    EXPECT_EQ(to_string(frame(address(0x10))), "f at big.cpp:1,000");

    const std::vector<frame> frames = unknown_frames(1001);
    const std::vector<std::string> lines = lines_of(korvo::calltrail::detail::to_string(frames.data(), frames.size()));
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_EQ(lines[9], " 9# 0x0000000000001009");
    EXPECT_EQ(lines[999], "999# 0x00000000000013E7");
    // The address text is never grouped, and the blank depends on the value.
    EXPECT_EQ(lines[1000], "1,000# 0x00000000000013E8");
}

TEST_F(rendering, an_exception_from_the_engine_mid_trace_closes_the_resolver) {
    answer(found("m!a"), missing());
    answer(found("m!b"), missing());
    fake_platform::text_answer throwing;
    throwing.throws_bad_alloc = true;
    fake_platform::scripted().names.push_back(throwing);
    const std::vector<frame> frames = unknown_frames(5);
    std::string result = "untouched";
    EXPECT_THROW(result = korvo::calltrail::detail::to_string(frames.data(), frames.size()), std::bad_alloc);
    EXPECT_EQ(result, "untouched");
    const std::vector<std::string> names = fake_platform::call_names();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 3], "symbols1.GetNameByOffset");
    EXPECT_EQ(names[names.size() - 2], "symbols1.Release");
    EXPECT_EQ(names.back(), "CoUninitialize");
    EXPECT_EQ(fake_platform::calls_named("symbols1.GetNameByOffset").size(), 3u);
}

TEST_F(rendering, an_exception_from_the_source_lookup_of_one_frame_closes_the_resolver) {
    fake_platform::text_answer throwing;
    throwing.throws_bad_alloc = true;
    answer(found("m!a"), throwing);
    EXPECT_THROW(to_string(frame(address(0x10))), std::bad_alloc);
    EXPECT_EQ(fake_platform::call_names(),
              joined(ready_opening(),
                     {"symbols1.GetNameByOffset", "symbols1.GetLineByOffset", "symbols1.Release", "CoUninitialize"}));
}

TEST_F(rendering, a_failing_locale_facet_mid_trace_closes_the_resolver_and_returns_nothing) {
    // Positions 0 and 1 convert; the third conversion fails.
    auto* facet = new failing_grouping;
    const global_locale_scope grouping(facet);
    facet->left = 2;
    facet->armed = true;
    const std::vector<frame> frames = unknown_frames(5);
    std::string result = "untouched";
    EXPECT_THROW(result = korvo::calltrail::detail::to_string(frames.data(), frames.size()), std::bad_cast);
    EXPECT_EQ(result, "untouched");
    EXPECT_EQ(fake_platform::calls_named("symbols1.GetNameByOffset").size(), 2u);
    const std::vector<std::string> names = fake_platform::call_names();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "symbols1.Release");
    EXPECT_EQ(names.back(), "CoUninitialize");
}

} // namespace
