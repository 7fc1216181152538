#include <korvo/calltrail/frame.hpp>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/symbol_resolver.hpp"
#include "support/fake_engine_fixture.hpp"

using fake_platform::found;
using fake_platform::missing;
using fake_platform::too_long;
using korvo::calltrail::frame;
using korvo::calltrail::symbol_resolver;

namespace {

using location = std::pair<std::string, std::size_t>;

// Longer than the first try's 256 characters.
std::string long_text(char fill, std::size_t length) { return std::string(length, fill); }

class name_lookup : public fake_engine_test {
protected:
    std::vector<fake_platform::call> name_calls() const {
        return fake_platform::calls_named("symbols1.GetNameByOffset");
    }
};

TEST_F(name_lookup, first_try_uses_a_cleared_stack_buffer_of256_and_a_zeroed_size) {
    fake_platform::scripted().names.push_back(found("demo_app!worker_loop"));
    const symbol_resolver resolver;
    std::string module;
    EXPECT_EQ(resolver.lookup_name(address(0xFFFFFFFFFFFFFFF0u), &module), "worker_loop");
    EXPECT_EQ(module, "demo_app");

    const auto calls = name_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].offset, 0xFFFFFFFFFFFFFFF0u);
    EXPECT_NE(calls[0].buffer, nullptr);
    EXPECT_EQ(calls[0].buffer_size, 256u);
    EXPECT_EQ(calls[0].first_char, '\0');
    ASSERT_NE(calls[0].size_pointer, nullptr);
    EXPECT_EQ(calls[0].size_on_entry, 0u);
    EXPECT_EQ(calls[0].displacement, nullptr);
}

TEST_F(name_lookup, success_on_the_first_try_is_final_whatever_size_is_reported) {
    for (const ULONG reported : {0u, 1u, 5000u, 0xFFFFFFFFu}) {
        restart();
        fake_platform::text_answer answer = found("jobsys!dispatch_job");
        answer.reported_size = reported;
        fake_platform::scripted().names.push_back(answer);
        const symbol_resolver resolver;
        EXPECT_EQ(resolver.lookup_name(address(0x10), nullptr), "dispatch_job") << reported;
        EXPECT_EQ(name_calls().size(), 1u) << reported;
    }
}

TEST_F(name_lookup, a_long_name_takes_exactly_one_second_call_of_the_reported_size) {
    const std::string function = long_text('f', 300);
    const std::string text = "demo_app!" + function;
    auto& names = fake_platform::scripted().names;
    names.push_back(too_long(text));
    names.push_back(found(text));
    const symbol_resolver resolver;
    std::string module;
    const std::string name = resolver.lookup_name(address(0x4242), &module);

    // The engine's size counts its NUL; the name does not end in one.
    EXPECT_EQ(name, function);
    EXPECT_EQ(name.size(), 300u);
    EXPECT_EQ(module, "demo_app");
    const auto calls = name_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].offset, 0x4242u);
    EXPECT_EQ(calls[1].buffer_size, text.size() + 1);
    EXPECT_NE(calls[1].buffer, calls[0].buffer);
    EXPECT_EQ(calls[1].size_pointer, calls[0].size_pointer);
    EXPECT_EQ(calls[1].size_on_entry, text.size() + 1);
    EXPECT_EQ(calls[1].displacement, nullptr);
}

TEST_F(name_lookup, the_second_text_ends_at_the_first_nul_the_engine_wrote) {
    auto& names = fake_platform::scripted().names;
    fake_platform::text_answer generous = too_long("m!x");
    generous.reported_size = 400;
    names.push_back(generous);
    names.push_back(found("demo_app!" + long_text('g', 280)));
    const symbol_resolver resolver;
    std::string module;
    EXPECT_EQ(resolver.lookup_name(address(1), &module), long_text('g', 280));
    EXPECT_EQ(module, "demo_app");
    ASSERT_EQ(name_calls().size(), 2u);
    EXPECT_EQ(name_calls()[1].buffer_size, 400u);
}

TEST_F(name_lookup, a_second_text_without_nul_is_kept_whole) {
    const std::string text = "demo_app!" + long_text('h', 291); // exactly 300 characters
    auto& names = fake_platform::scripted().names;
    fake_platform::text_answer first = too_long(text);
    first.reported_size = 300;
    names.push_back(first);
    fake_platform::text_answer unterminated = found(text);
    unterminated.terminate = false;
    names.push_back(unterminated);
    const symbol_resolver resolver;
    EXPECT_EQ(resolver.lookup_name(address(1), nullptr), long_text('h', 291));
}

TEST_F(name_lookup, a_long_module_alone_comes_back_without_nul) {
    const std::string module_name = long_text('m', 260);
    auto& names = fake_platform::scripted().names;
    names.push_back(too_long(module_name));
    names.push_back(found(module_name));
    const symbol_resolver resolver;
    std::string module;
    EXPECT_EQ(resolver.lookup_name(address(1), &module), "");
    EXPECT_EQ(module, module_name);
}

TEST_F(name_lookup, failure_gives_no_name_and_leaves_the_module_as_it_was) {
    struct failure {
        const char* what;
        std::vector<fake_platform::text_answer> answers;
        std::size_t engine_calls;
    };
    fake_platform::text_answer false_without_size = too_long("m!f");
    false_without_size.reported_size = 0;
    fake_platform::text_answer second_too_long = too_long("demo_app!" + long_text('f', 400));
    const std::vector<failure> failures = {
        {"first call fails with size 0", {missing()}, 1},
        {"first call answers S_FALSE with size 0", {false_without_size}, 1},
        {"second call fails", {too_long("demo_app!" + long_text('f', 300)), missing()}, 2},
        // No third call, even when the engine asks for more again.
        {"second call still too short", {too_long("demo_app!" + long_text('f', 300)), second_too_long}, 2},
    };
    for (const failure& f : failures) {
        restart();
        for (const auto& answer : f.answers) fake_platform::scripted().names.push_back(answer);
        fake_platform::scripted().names.push_back(found("late!answer"));
        const symbol_resolver resolver;
        std::string module = "previous";
        EXPECT_EQ(resolver.lookup_name(address(0x99), &module), "") << f.what;
        EXPECT_EQ(module, "previous") << f.what;
        EXPECT_EQ(name_calls().size(), f.engine_calls) << f.what;
    }
}

TEST_F(name_lookup, splits_at_the_first_bang_only) {
    struct split {
        const char* text;
        const char* function;
        const char* module;
    };
    const split cases[] = {
        {"demo_app!worker_loop", "worker_loop", "demo_app"},
        {"demo_app", "", "demo_app"},
        {"!worker_loop", "worker_loop", ""},
        {"demo_app!operator!=", "operator!=", "demo_app"},
        {"demo_app!a!b!", "a!b!", "demo_app"},
        {"demo_app!", "", "demo_app"},
        {"!", "", ""},
    };
    for (const split& c : cases) {
        restart();
        fake_platform::scripted().names.push_back(found(c.text));
        const symbol_resolver resolver;
        std::string module = "replaced";
        EXPECT_EQ(resolver.lookup_name(address(0x10), &module), c.function) << c.text;
        EXPECT_EQ(module, c.module) << c.text;
    }
}

TEST_F(name_lookup, frame_name_gives_the_function_only) {
    auto& names = fake_platform::scripted().names;
    names.push_back(found("demo_app!worker_loop"));
    names.push_back(found("demo_app"));
    names.push_back(missing());
    EXPECT_EQ(frame(address(0x7FF6A1B21234)).name(), "worker_loop");
    EXPECT_EQ(frame(address(0x7FF6A1B21234)).name(), "");
    EXPECT_EQ(frame(address(0x7FF6A1B21234)).name(), "");
    const auto calls = fake_platform::calls_named("symbols3.GetNameByOffset");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].offset, 0x7FF6A1B21234u);
}

class source_lookup : public fake_engine_test {
protected:
    std::vector<fake_platform::call> line_calls() const {
        return fake_platform::calls_named("symbols1.GetLineByOffset");
    }
};

TEST_F(source_lookup, first_try_uses_a_cleared_stack_buffer_and_zeroed_line_and_size) {
    fake_platform::scripted().lines.push_back(found("c:\\work\\demo\\worker", 88));
    const symbol_resolver resolver;
    EXPECT_EQ(resolver.lookup_source(address(0x7FF6A1B21234)), location("c:\\work\\demo\\worker", 88));

    const auto calls = line_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].offset, 0x7FF6A1B21234u);
    EXPECT_NE(calls[0].buffer, nullptr);
    EXPECT_EQ(calls[0].buffer_size, 256u);
    EXPECT_EQ(calls[0].first_char, '\0');
    ASSERT_NE(calls[0].size_pointer, nullptr);
    EXPECT_EQ(calls[0].size_on_entry, 0u);
    ASSERT_NE(calls[0].line_pointer, nullptr);
    EXPECT_EQ(calls[0].line_on_entry, 0u);
    EXPECT_EQ(calls[0].displacement, nullptr);
}

TEST_F(source_lookup, success_on_the_first_try_is_final_whatever_size_is_reported) {
    fake_platform::text_answer answer = found("worker.cpp", 7);
    answer.reported_size = 100000;
    fake_platform::scripted().lines.push_back(answer);
    const symbol_resolver resolver;
    EXPECT_EQ(resolver.lookup_source(address(0x10)), location("worker.cpp", 7));
    EXPECT_EQ(line_calls().size(), 1u);
}

TEST_F(source_lookup, a_long_path_takes_exactly_one_second_call_and_its_line) {
    const std::string path = "/src/" + long_text('p', 395);
    auto& lines = fake_platform::scripted().lines;
    lines.push_back(too_long(path, 12));
    lines.push_back(found(path, 34));
    const symbol_resolver resolver;
    const location found_location = resolver.lookup_source(address(0x4242));
    EXPECT_EQ(found_location.first, path);
    EXPECT_EQ(found_location.first.size(), 400u);
    EXPECT_EQ(found_location.second, 34u);

    const auto calls = line_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].offset, 0x4242u);
    EXPECT_EQ(calls[1].buffer_size, 401u);
    EXPECT_NE(calls[1].buffer, calls[0].buffer);
    EXPECT_EQ(calls[1].size_pointer, calls[0].size_pointer);
    EXPECT_EQ(calls[1].line_pointer, calls[0].line_pointer);
    EXPECT_EQ(calls[1].displacement, nullptr);
}

TEST_F(source_lookup, the_second_path_ends_at_the_first_nul_the_engine_wrote) {
    auto& lines = fake_platform::scripted().lines;
    fake_platform::text_answer generous = too_long("x", 1);
    generous.reported_size = 512;
    lines.push_back(generous);
    lines.push_back(found(long_text('q', 300), 5));
    const symbol_resolver resolver;
    EXPECT_EQ(resolver.lookup_source(address(1)), location(long_text('q', 300), 5));
    ASSERT_EQ(line_calls().size(), 2u);
    EXPECT_EQ(line_calls()[1].buffer_size, 512u);
}

TEST_F(source_lookup, failure_clears_path_and_line) {
    struct failure {
        const char* what;
        std::vector<fake_platform::text_answer> answers;
        std::size_t engine_calls;
    };
    fake_platform::text_answer first_fails_with_line = missing();
    first_fails_with_line.line = 77;
    fake_platform::text_answer false_without_size = too_long("worker.cpp", 77);
    false_without_size.reported_size = 0;
    fake_platform::text_answer second_fails_with_line = missing();
    second_fails_with_line.line = 99;
    second_fails_with_line.text = long_text('z', 300);
    const std::vector<failure> failures = {
        {"first call fails with size 0, line dropped", {first_fails_with_line}, 1},
        {"first call answers S_FALSE with size 0", {false_without_size}, 1},
        {"second call fails after a line was reported", {too_long(long_text('z', 300), 12), second_fails_with_line}, 2},
        {"second call still too short", {too_long(long_text('z', 300), 12), too_long(long_text('z', 600), 13)}, 2},
    };
    for (const failure& f : failures) {
        restart();
        for (const auto& answer : f.answers) fake_platform::scripted().lines.push_back(answer);
        fake_platform::scripted().lines.push_back(found("late.cpp", 1));
        const symbol_resolver resolver;
        EXPECT_EQ(resolver.lookup_source(address(0x99)), location("", 0)) << f.what;
        EXPECT_EQ(line_calls().size(), f.engine_calls) << f.what;
    }
}

TEST_F(source_lookup, lines_of_the_full_unsigned_range_come_back_unchanged) {
    fake_platform::scripted().lines.push_back(found("big.cpp", 0xFFFFFFFFu));
    fake_platform::scripted().lines.push_back(found("", 0x80000000u));
    const symbol_resolver resolver;
    EXPECT_EQ(resolver.lookup_source(address(1)).second, std::size_t{4294967295u});
    EXPECT_EQ(resolver.lookup_line(address(1)), std::size_t{2147483648u});
}

TEST_F(source_lookup, line_alone_asks_without_buffer_or_size) {
    fake_platform::scripted().lines.push_back(found(long_text('p', 1000), 42));
    const symbol_resolver resolver;
    EXPECT_EQ(resolver.lookup_line(address(0x7FF6A1B21234)), 42u);
    const auto calls = line_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].offset, 0x7FF6A1B21234u);
    EXPECT_EQ(calls[0].buffer, nullptr);
    EXPECT_EQ(calls[0].buffer_size, 0u);
    EXPECT_EQ(calls[0].size_pointer, nullptr);
    ASSERT_NE(calls[0].line_pointer, nullptr);
    EXPECT_EQ(calls[0].line_on_entry, 0u);
    EXPECT_EQ(calls[0].displacement, nullptr);
}

TEST_F(source_lookup, line_alone_is_zero_unless_the_call_succeeds) {
    for (const HRESULT result : {S_FALSE, E_FAIL}) {
        restart();
        fake_platform::text_answer answer = missing(result);
        answer.line = 42;
        answer.reported_size = 10;
        fake_platform::scripted().lines.push_back(answer);
        fake_platform::scripted().lines.push_back(found("", 43));
        const symbol_resolver resolver;
        EXPECT_EQ(resolver.lookup_line(address(1)), 0u) << result;
        EXPECT_EQ(line_calls().size(), 1u) << result;
    }
}

TEST_F(source_lookup, frame_members_take_their_part_of_the_location) {
    const std::string path = "/src/" + long_text('w', 300);
    auto& lines = fake_platform::scripted().lines;
    lines.push_back(too_long(path, 88));
    lines.push_back(found(path, 88));
    lines.push_back(found("", 88));
    const frame f(address(0x1234));
    EXPECT_EQ(f.source_file(), path);
    EXPECT_EQ(f.source_line(), 88u);
    EXPECT_EQ(fake_platform::calls_named("symbols1.GetLineByOffset").size(), 2u);
    EXPECT_EQ(fake_platform::calls_named("symbols2.GetLineByOffset").size(), 1u);
}

} // namespace
