// Faults injected into the engine at every point where it can meet one: each
// allocation it makes, each engine call of a trace, each step of opening the
// engine, and a global locale without the digit-grouping facet. After every
// fault the resolver must be closed and the next call must work.
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <typeinfo>
#include <vector>

#include "reliability/support/failing_allocation.hpp"
#include "reliability/support/stripped_locale.hpp"
#include "support/fake_engine_fixture.hpp"

using fake_platform::found;
using fake_platform::missing;
using fake_platform::text_answer;
using fake_platform::too_long;
using korvo::calltrail::frame;

namespace {

const std::string long_function = "handle_" + std::string(300, 'f');
const std::string long_path = "/src/" + std::string(300, 'p') + ".cpp";

// What the engine knows of one frame, call by call.
struct frame_answers {
    std::vector<text_answer> names;
    std::vector<text_answer> lines;
};

// Three frames: a name and a path too long for the first try, and a module
// with nothing else, so that every branch of a frame's text is taken.
std::vector<frame_answers> healthy_answers() {
    return {
        {{too_long("app!" + long_function), found("app!" + long_function)}, {found("/src/a.cpp", 12)}},
        {{found("libx.so!short_fn")}, {too_long(long_path, 34), found(long_path, 34)}},
        {{found("liby.so")}, {missing()}},
    };
}

std::vector<std::string> healthy_lines() {
    return {" 0# " + long_function + " at /src/a.cpp:12\n", " 1# short_fn at " + long_path + ":34\n",
            " 2# 0x0000000000003000 in liby.so\n"};
}

std::string joined_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line;
    return text;
}

const std::vector<frame>& trace() {
    static const std::vector<frame> frames = {frame(reinterpret_cast<const void*>(0x1000)),
                                              frame(reinterpret_cast<const void*>(0x2000)),
                                              frame(reinterpret_cast<const void*>(0x3000))};
    return frames;
}

void script(const std::vector<frame_answers>& answers) {
    for (const frame_answers& f : answers) {
        for (const text_answer& a : f.names) fake_platform::scripted().names.push_back(a);
        for (const text_answer& a : f.lines) fake_platform::scripted().lines.push_back(a);
    }
}

bool answers_used_up() { return fake_platform::scripted().names.empty() && fake_platform::scripted().lines.empty(); }

// The resolver was closed on the way out: symbols released, then COM left.
bool closed_last() {
    const std::vector<std::string> names = fake_platform::call_names();
    return names.size() >= 2 && names[names.size() - 2] == "symbols1.Release" && names.back() == "CoUninitialize";
}

struct operation {
    const char* name;
    std::vector<frame_answers> answers;
    std::function<std::string()> call;
    std::string expected;
};

std::vector<operation> text_operations() {
    const std::vector<frame_answers> all = healthy_answers();
    return {
        {"detail::to_string", all, [] { return korvo::calltrail::detail::to_string(trace().data(), trace().size()); },
         joined_lines(healthy_lines())},
        {"to_string",
         {all[0]},
         [] { return korvo::calltrail::to_string(trace()[0]); },
         long_function + " at /src/a.cpp:12"},
        {"frame::name", {{all[0].names, {}}}, [] { return trace()[0].name(); }, long_function},
        {"frame::source_file", {{{}, all[1].lines}}, [] { return trace()[1].source_file(); }, long_path},
    };
}

class allocation_failure : public fake_engine_test {
protected:
    void TearDown() override {
        calltrail_test::stop_counting();
        fake_engine_test::TearDown();
    }
};

TEST_F(allocation_failure, every_allocation_of_a_call_can_fail_and_the_next_call_still_works) {
    for (const operation& op : text_operations()) {
        // Once unmeasured, for what the standard library sets up on first use.
        restart();
        script(op.answers);
        op.call();

        restart();
        script(op.answers);
        calltrail_test::start_counting();
        const std::string healthy = op.call();
        const std::size_t allocations = calltrail_test::stop_counting();
        ASSERT_EQ(healthy, op.expected) << op.name;
        // Long texts cannot be had without allocating, so there is a point to fail at.
        ASSERT_GT(allocations, 0u) << op.name;

        for (std::size_t failing = 1; failing <= allocations; ++failing) {
            restart();
            script(op.answers);
            std::string result = "untouched";
            bool threw_bad_alloc = false;
            calltrail_test::start_counting(failing);
            try {
                result = op.call();
            } catch (const std::bad_alloc&) {
                threw_bad_alloc = true;
            }
            calltrail_test::stop_counting();
            ASSERT_TRUE(calltrail_test::injected()) << op.name << ", allocation " << failing;
            EXPECT_TRUE(threw_bad_alloc) << op.name << ", allocation " << failing;
            EXPECT_EQ(result, "untouched") << op.name << ", allocation " << failing;
            EXPECT_TRUE(closed_last()) << op.name << ", allocation " << failing;
            EXPECT_EQ(fake_platform::live_references(), 0) << op.name << ", allocation " << failing;
            EXPECT_EQ(fake_platform::com_depth(), 0) << op.name << ", allocation " << failing;

            restart();
            script(op.answers);
            EXPECT_EQ(op.call(), op.expected) << op.name << ", after allocation " << failing << " failed";
        }
    }
}

TEST_F(allocation_failure, a_line_alone_needs_no_allocation_so_nothing_can_fail_there) {
    script({{{}, {found("/src/a.cpp", 77)}}});
    trace()[0].source_line(); // what the standard library sets up on first use
    restart();
    script({{{}, {found("/src/a.cpp", 77)}}});
    calltrail_test::start_counting(1);
    EXPECT_EQ(trace()[0].source_line(), 77u);
    EXPECT_EQ(calltrail_test::stop_counting(), 0u);
    EXPECT_FALSE(calltrail_test::injected());
}

using engine_fault = fake_engine_test;

// One frame of the trace meets a fault; only that frame's text may change.
struct frame_fault {
    const char* what;
    std::size_t frame_index;
    frame_answers answers;
    std::string line;
};

std::vector<frame_fault> frame_faults() {
    const std::vector<frame_answers> all = healthy_answers();
    const std::string head0 = " 0# " + long_function;
    return {
        {"first name try fails", 0, {{missing()}, all[0].lines}, " 0# 0x0000000000001000 at /src/a.cpp:12\n"},
        {"first name try says S_FALSE with no size",
         0,
         {{missing(S_FALSE)}, all[0].lines},
         " 0# 0x0000000000001000 at /src/a.cpp:12\n"},
        {"second name try fails",
         0,
         {{too_long("app!" + long_function), missing()}, all[0].lines},
         " 0# 0x0000000000001000 at /src/a.cpp:12\n"},
        {"second name try is cut again",
         0,
         {{too_long("app!" + long_function), too_long("app!" + long_function)}, all[0].lines},
         " 0# 0x0000000000001000 at /src/a.cpp:12\n"},
        {"line lookup fails", 0, {all[0].names, {missing(E_OUTOFMEMORY)}}, head0 + " in app\n"},
        {"first path try fails", 1, {all[1].names, {missing()}}, " 1# short_fn in libx.so\n"},
        {"second path try fails", 1, {all[1].names, {too_long(long_path, 34), missing()}}, " 1# short_fn in libx.so\n"},
        {"module-only name fails", 2, {{missing()}, all[2].lines}, " 2# 0x0000000000003000\n"},
    };
}

TEST_F(engine_fault, a_failing_engine_call_costs_only_its_frame_its_piece) {
    for (const frame_fault& fault : frame_faults()) {
        restart();
        std::vector<frame_answers> answers = healthy_answers();
        answers[fault.frame_index] = fault.answers;
        script(answers);
        std::vector<std::string> lines = healthy_lines();
        lines[fault.frame_index] = fault.line;
        EXPECT_EQ(korvo::calltrail::detail::to_string(trace().data(), trace().size()), joined_lines(lines))
            << fault.what;
        EXPECT_TRUE(answers_used_up()) << fault.what << ": the engine was asked less than scripted";
        EXPECT_TRUE(closed_last()) << fault.what;
    }
}

TEST_F(engine_fault, an_engine_throwing_at_any_call_of_a_trace_leaves_the_resolver_closed) {
    std::size_t engine_calls = 0;
    for (const frame_answers& f : healthy_answers()) engine_calls += f.names.size() + f.lines.size();

    for (std::size_t throwing_call = 0; throwing_call < engine_calls; ++throwing_call) {
        restart();
        // Scripted in call order: the names of a frame, then its lines.
        std::size_t call = 0;
        for (frame_answers f : healthy_answers()) {
            for (text_answer& a : f.names) a.throws_bad_alloc = call++ == throwing_call;
            for (text_answer& a : f.lines) a.throws_bad_alloc = call++ == throwing_call;
            script({f});
        }
        std::string result = "untouched";
        EXPECT_THROW(result = korvo::calltrail::detail::to_string(trace().data(), trace().size()), std::bad_alloc)
            << "call " << throwing_call;
        EXPECT_EQ(result, "untouched");
        EXPECT_TRUE(closed_last()) << "call " << throwing_call;
        const std::size_t asked = fake_platform::calls_named("symbols1.GetNameByOffset").size() +
                                  fake_platform::calls_named("symbols1.GetLineByOffset").size();
        EXPECT_EQ(asked, throwing_call + 1) << "the engine was asked on after it threw";

        restart();
        script(healthy_answers());
        EXPECT_EQ(korvo::calltrail::detail::to_string(trace().data(), trace().size()), joined_lines(healthy_lines()))
            << "after call " << throwing_call << " threw";
    }
}

// Each way of failing to open the engine, through every export, and then the
// same export with a healthy engine: nothing of the failure carries over.
struct opening_fault {
    const char* what;
    void (*apply)(fake_platform::script&);
};

TEST_F(engine_fault, every_export_recovers_from_each_failed_opening) {
    const std::vector<opening_fault> faults = {
        {"DebugCreate fails",
         [](fake_platform::script& s) {
             s.debug_create = {E_FAIL, false};
         }},
        {"DebugCreate fails handing out a client",
         [](fake_platform::script& s) {
             s.debug_create = {E_FAIL, true};
         }},
        {"control refused",
         [](fake_platform::script& s) {
             s.query_control = {E_NOINTERFACE, false};
         }},
        {"control refused but handed out",
         [](fake_platform::script& s) {
             s.query_control = {S_FALSE, true};
         }},
        {"attach fails", [](fake_platform::script& s) { s.attach = E_UNEXPECTED; }},
        {"wait fails", [](fake_platform::script& s) { s.wait = E_FAIL; }},
        {"no symbols interface",
         [](fake_platform::script& s) {
             s.query_symbols = {S_OK, false};
         }},
        {"COM refused and DebugCreate fails",
         [](fake_platform::script& s) {
             s.co_initialize = RPC_E_CHANGED_MODE;
             s.debug_create = {E_OUTOFMEMORY, false};
         }},
    };
    struct export_call {
        const char* name;
        std::function<std::string()> call;
    };
    const std::vector<export_call> exports = {
        {"detail::to_string", [] { return korvo::calltrail::detail::to_string(trace().data(), trace().size()); }},
        {"to_string", [] { return korvo::calltrail::to_string(trace()[0]); }},
        {"frame::name", [] { return trace()[0].name(); }},
        {"frame::source_file", [] { return trace()[1].source_file(); }},
        {"frame::source_line", [] { return std::to_string(trace()[0].source_line()); }},
    };
    for (const export_call& e : exports) {
        for (const opening_fault& fault : faults) {
            restart();
            fault.apply(fake_platform::scripted());
            script(healthy_answers());
            const std::string refused = e.call();
            EXPECT_TRUE(refused.empty() || refused == "0") << e.name << ", " << fault.what << ": " << refused;
            EXPECT_EQ(fake_platform::calls_named("symbols1.GetNameByOffset").size(), 0u) << e.name;
            EXPECT_EQ(fake_platform::calls_named("symbols1.GetLineByOffset").size(), 0u) << e.name;

            restart();
            script(healthy_answers());
            const std::string recovered = e.call();
            EXPECT_FALSE(recovered.empty() || recovered == "0") << e.name << " after " << fault.what;
        }
    }
}

#if defined(CALLTRAIL_TEST_HAS_STRIPPED_LOCALE)
TEST_F(engine_fault, a_global_locale_without_numpunct_leaves_as_bad_cast_and_the_next_call_works) {
    script(healthy_answers());
    std::string result = "untouched";
    bool threw_bad_cast = false;
    {
        const calltrail_test::stripped_global_locale stripped;
        try {
            result = korvo::calltrail::detail::to_string(trace().data(), trace().size());
        } catch (const std::bad_cast&) {
            threw_bad_cast = true;
        }
    }
    EXPECT_TRUE(threw_bad_cast);
    EXPECT_EQ(result, "untouched");
    // The first position fails to convert: no engine call was made yet.
    EXPECT_EQ(fake_platform::calls_named("symbols1.GetNameByOffset").size(), 0u);
    EXPECT_TRUE(closed_last());

    restart();
    script(healthy_answers());
    EXPECT_EQ(korvo::calltrail::detail::to_string(trace().data(), trace().size()), joined_lines(healthy_lines()));
}
#endif

} // namespace
