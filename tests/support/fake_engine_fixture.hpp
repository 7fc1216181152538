#ifndef KORVO_CALLTRAIL_TESTS_FAKE_ENGINE_FIXTURE_HPP
#define KORVO_CALLTRAIL_TESTS_FAKE_ENGINE_FIXTURE_HPP

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/fake_platform.hpp"

// Every test starts from an empty script, and whatever it did, every
// reference the fake handed out must be released exactly once, never added
// to, and COM left as often as it was entered.
class fake_engine_test : public ::testing::Test {
protected:
    void SetUp() override { fake_platform::reset(); }
    void TearDown() override { expect_balanced(); }

    // For tests that run several scripts in turn.
    static void restart() {
        expect_balanced();
        fake_platform::reset();
    }

    static void expect_balanced() {
        EXPECT_EQ(fake_platform::live_references(), 0);
        EXPECT_EQ(fake_platform::over_releases(), 0);
        EXPECT_EQ(fake_platform::com_depth(), 0);
        const std::vector<std::string> names = fake_platform::call_names();
        EXPECT_TRUE(std::none_of(names.begin(), names.end(),
                                 [](const std::string& n) { return n.find(".AddRef") != std::string::npos; }));
    }

    static const void* address(std::uintptr_t value) { return reinterpret_cast<const void*>(value); }
};

// The calls of a resolver that becomes ready, up to the end of its construction.
inline std::vector<std::string> ready_opening(int n = 1) {
    const std::string client = "client" + std::to_string(n);
    const std::string control = "control" + std::to_string(n);
    return {"CoInitializeEx",
            "DebugCreate(IDebugClient)",
            client + ".QueryInterface(IDebugControl)",
            "GetCurrentProcessId",
            client + ".AttachProcess",
            control + ".WaitForEvent",
            client + ".QueryInterface(IDebugSymbols)",
            control + ".Release",
            client + ".Release"};
}

inline std::vector<std::string> joined(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

#endif
