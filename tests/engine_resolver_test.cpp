#include <korvo/calltrail/frame.hpp>

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "engine/symbol_resolver.hpp"
#include "support/fake_engine_fixture.hpp"

using korvo::calltrail::frame;
using korvo::calltrail::symbol_resolver;

namespace {

using resolver_opening = fake_engine_test;

TEST_F(resolver_opening, asks_for_each_piece_in_order_and_closes_symbols_before_com) {
    fake_platform::scripted().process_id = 0x8badf00d;
    {
        const symbol_resolver resolver;
        EXPECT_TRUE(resolver.is_ready());
        EXPECT_EQ(fake_platform::call_names(), ready_opening());
    }
    EXPECT_EQ(fake_platform::call_names(), joined(ready_opening(), {"symbols1.Release", "CoUninitialize"}));

    const auto co_init = fake_platform::calls_named("CoInitializeEx");
    ASSERT_EQ(co_init.size(), 1u);
    EXPECT_EQ(co_init[0].reserved, nullptr);
    EXPECT_EQ(co_init[0].flags, 0u);

    const auto create = fake_platform::calls_named("DebugCreate(IDebugClient)");
    ASSERT_EQ(create.size(), 1u);
    EXPECT_TRUE(create[0].out_given && create[0].out_was_null);

    const auto attach = fake_platform::calls_named("client1.AttachProcess");
    ASSERT_EQ(attach.size(), 1u);
    EXPECT_EQ(attach[0].server, 0u);
    EXPECT_EQ(attach[0].process_id, 0x8badf00du);
    EXPECT_EQ(attach[0].flags, 5u);

    const auto wait = fake_platform::calls_named("control1.WaitForEvent");
    ASSERT_EQ(wait.size(), 1u);
    EXPECT_EQ(wait[0].flags, 0u);
    EXPECT_EQ(wait[0].timeout, 0xFFFFFFFFu);

    for (const char* query : {"client1.QueryInterface(IDebugControl)", "client1.QueryInterface(IDebugSymbols)"}) {
        const auto q = fake_platform::calls_named(query);
        ASSERT_EQ(q.size(), 1u) << query;
        EXPECT_TRUE(q[0].out_given && q[0].out_was_null) << query;
    }
}

// Each failing step, with a failure code and with S_FALSE (a success code that
// is still not S_OK), ends the opening there: what was obtained is released,
// control before client, and nothing further is asked.
struct failing_step {
    const char* name;
    void (*fail)(fake_platform::script&, HRESULT);
    std::vector<std::string> expected;
};

const std::vector<failing_step>& failing_steps() {
    static const std::vector<failing_step> steps = {
        {"DebugCreate",
         [](fake_platform::script& s, HRESULT r) {
             s.debug_create = {r, false};
         },
         {"CoInitializeEx", "DebugCreate(IDebugClient)", "CoUninitialize"}},
        {"DebugCreate handing out a client anyway",
         [](fake_platform::script& s, HRESULT r) {
             s.debug_create = {r, true};
         },
         {"CoInitializeEx", "DebugCreate(IDebugClient)", "client1.Release", "CoUninitialize"}},
        {"control query",
         [](fake_platform::script& s, HRESULT r) {
             s.query_control = {r, false};
         },
         {"CoInitializeEx", "DebugCreate(IDebugClient)", "client1.QueryInterface(IDebugControl)", "client1.Release",
          "CoUninitialize"}},
        {"control query handing out a control anyway",
         [](fake_platform::script& s, HRESULT r) {
             s.query_control = {r, true};
         },
         {"CoInitializeEx", "DebugCreate(IDebugClient)", "client1.QueryInterface(IDebugControl)", "control1.Release",
          "client1.Release", "CoUninitialize"}},
        {"attach",
         [](fake_platform::script& s, HRESULT r) { s.attach = r; },
         {"CoInitializeEx", "DebugCreate(IDebugClient)", "client1.QueryInterface(IDebugControl)", "GetCurrentProcessId",
          "client1.AttachProcess", "control1.Release", "client1.Release", "CoUninitialize"}},
        {"wait",
         [](fake_platform::script& s, HRESULT r) { s.wait = r; },
         {"CoInitializeEx", "DebugCreate(IDebugClient)", "client1.QueryInterface(IDebugControl)", "GetCurrentProcessId",
          "client1.AttachProcess", "control1.WaitForEvent", "control1.Release", "client1.Release", "CoUninitialize"}},
    };
    return steps;
}

TEST_F(resolver_opening, stops_at_the_first_step_that_is_not_s_ok) {
    for (const failing_step& step : failing_steps()) {
        for (const HRESULT result : {E_FAIL, S_FALSE}) {
            restart();
            step.fail(fake_platform::scripted(), result);
            {
                const symbol_resolver resolver;
                EXPECT_FALSE(resolver.is_ready()) << step.name << " answering " << result;
            }
            EXPECT_EQ(fake_platform::call_names(), step.expected) << step.name << " answering " << result;
            EXPECT_EQ(fake_platform::live_references(), 0) << step.name << " answering " << result;
        }
    }
}

TEST_F(resolver_opening, readiness_follows_the_symbols_pointer_not_the_result) {
    fake_platform::scripted().query_symbols = {S_OK, false};
    {
        const symbol_resolver resolver;
        EXPECT_FALSE(resolver.is_ready());
    }
    // No symbols object: nothing to release but control and client.
    EXPECT_EQ(fake_platform::call_names(), joined(ready_opening(), {"CoUninitialize"}));

    restart();
    fake_platform::scripted().query_symbols = {E_NOINTERFACE, true};
    {
        const symbol_resolver resolver;
        EXPECT_TRUE(resolver.is_ready());
    }
    EXPECT_EQ(fake_platform::call_names(), joined(ready_opening(), {"symbols1.Release", "CoUninitialize"}));
}

using resolver_apartment = fake_engine_test;

TEST_F(resolver_apartment, is_left_once_after_s_false_as_after_s_ok) {
    for (const HRESULT entered : {S_OK, S_FALSE}) {
        restart();
        fake_platform::scripted().co_initialize = entered;
        { const symbol_resolver resolver; }
        EXPECT_EQ(fake_platform::calls_named("CoUninitialize").size(), 1u) << entered;
        EXPECT_EQ(fake_platform::call_names().back(), "CoUninitialize") << entered;
    }
}

TEST_F(resolver_apartment, failed_initialisation_still_opens_the_engine_and_is_never_balanced) {
    for (const HRESULT refused : {RPC_E_CHANGED_MODE, E_FAIL, E_OUTOFMEMORY}) {
        restart();
        fake_platform::scripted().co_initialize = refused;
        {
            const symbol_resolver resolver;
            EXPECT_TRUE(resolver.is_ready()) << refused;
        }
        std::vector<std::string> expected = ready_opening();
        expected.push_back("symbols1.Release");
        EXPECT_EQ(fake_platform::call_names(), expected) << refused;
    }
}

TEST_F(resolver_apartment, failed_initialisation_and_failed_creation_leave_nothing_to_undo) {
    fake_platform::scripted().co_initialize = RPC_E_CHANGED_MODE;
    fake_platform::scripted().debug_create = {E_FAIL, false};
    { const symbol_resolver resolver; }
    EXPECT_EQ(fake_platform::call_names(), (std::vector<std::string>{"CoInitializeEx", "DebugCreate(IDebugClient)"}));
}

using resolver_not_ready = fake_engine_test;

TEST_F(resolver_not_ready, lookups_give_empty_results_and_leave_the_module_alone) {
    fake_platform::scripted().query_symbols = {S_OK, false};
    fake_platform::scripted().names.push_back(fake_platform::found("demo_app!worker_loop"));
    fake_platform::scripted().lines.push_back(fake_platform::found("c:\\work\\demo\\worker", 88));
    const symbol_resolver resolver;
    ASSERT_FALSE(resolver.is_ready());

    std::string module = "kept as it was";
    EXPECT_EQ(resolver.lookup_name(address(0x1000), &module), "");
    EXPECT_EQ(module, "kept as it was");
    EXPECT_EQ(resolver.lookup_name(address(0x1000), nullptr), "");
    EXPECT_EQ(resolver.lookup_source(address(0x1000)), std::make_pair(std::string(), std::size_t{0}));
    EXPECT_EQ(resolver.lookup_line(address(0x1000)), 0u);
    EXPECT_EQ(fake_platform::call_names(), joined(ready_opening(), {}));
    EXPECT_EQ(fake_platform::scripted().names.size(), 1u);
    EXPECT_EQ(fake_platform::scripted().lines.size(), 1u);
}

TEST_F(resolver_not_ready, members_of_frame_answer_empty_without_an_engine) {
    fake_platform::scripted().debug_create = {E_FAIL, false};
    fake_platform::scripted().names.push_back(fake_platform::found("demo_app!worker_loop"));
    fake_platform::scripted().lines.push_back(fake_platform::found("c:\\work\\demo\\worker", 88));
    fake_platform::scripted().lines.push_back(fake_platform::found("c:\\work\\demo\\worker", 88));
    const frame f(address(0x7FF6A1B21234));
    EXPECT_EQ(f.name(), "");
    EXPECT_EQ(f.source_file(), "");
    EXPECT_EQ(f.source_line(), 0u);
    const std::vector<std::string> one = {"CoInitializeEx", "DebugCreate(IDebugClient)", "CoUninitialize"};
    EXPECT_EQ(fake_platform::call_names(), joined(joined(one, one), one));
}

using frame_members = fake_engine_test;

TEST_F(frame_members, each_call_opens_and_closes_a_resolver_of_its_own) {
    auto& script = fake_platform::scripted();
    script.names.push_back(fake_platform::found("demo_app!worker_loop"));
    script.names.push_back(fake_platform::found("demo_app!worker_loop"));
    const frame f(address(0x7FF6A1B21234));
    const std::string first = f.name();
    const std::string second = f.name();
    EXPECT_EQ(first, "worker_loop");
    EXPECT_EQ(second, first);
    const std::vector<std::string> expected =
        joined(joined(ready_opening(1), {"symbols1.GetNameByOffset", "symbols1.Release", "CoUninitialize"}),
               joined(ready_opening(2), {"symbols2.GetNameByOffset", "symbols2.Release", "CoUninitialize"}));
    EXPECT_EQ(fake_platform::call_names(), expected);
}

TEST_F(frame_members, file_and_line_are_two_separate_conversations) {
    auto& script = fake_platform::scripted();
    script.lines.push_back(fake_platform::found("c:\\work\\demo\\worker", 88));
    script.lines.push_back(fake_platform::found("", 88));
    const frame f(address(0x7FF6A1B21234));
    EXPECT_EQ(f.source_file(), "c:\\work\\demo\\worker");
    EXPECT_EQ(f.source_line(), 88u);
    const std::vector<std::string> expected =
        joined(joined(ready_opening(1), {"symbols1.GetLineByOffset", "symbols1.Release", "CoUninitialize"}),
               joined(ready_opening(2), {"symbols2.GetLineByOffset", "symbols2.Release", "CoUninitialize"}));
    EXPECT_EQ(fake_platform::call_names(), expected);
    // The line alone is asked for without a buffer.
    const auto line_only = fake_platform::calls_named("symbols2.GetLineByOffset");
    ASSERT_EQ(line_only.size(), 1u);
    EXPECT_EQ(line_only[0].buffer, nullptr);
}

TEST_F(frame_members, an_exception_from_the_engine_still_closes_symbols_before_com) {
    fake_platform::text_answer throwing;
    throwing.throws_bad_alloc = true;
    fake_platform::scripted().names.push_back(throwing);
    fake_platform::scripted().lines.push_back(throwing);
    fake_platform::scripted().lines.push_back(throwing);
    const frame f(address(0x1234));
    EXPECT_THROW(f.name(), std::bad_alloc);
    EXPECT_THROW(f.source_file(), std::bad_alloc);
    EXPECT_THROW(f.source_line(), std::bad_alloc);
    const std::vector<std::string> expected =
        joined(joined(joined(ready_opening(1), {"symbols1.GetNameByOffset", "symbols1.Release", "CoUninitialize"}),
                      joined(ready_opening(2), {"symbols2.GetLineByOffset", "symbols2.Release", "CoUninitialize"})),
               joined(ready_opening(3), {"symbols3.GetLineByOffset", "symbols3.Release", "CoUninitialize"}));
    EXPECT_EQ(fake_platform::call_names(), expected);
}

} // namespace
