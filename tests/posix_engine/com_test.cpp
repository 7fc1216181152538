// The COM runtime and the Debug Engine's objects as the POSIX stand-ins
// provide them: counts, apartments, interfaces, references and attach rules.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "attached_symbols.hpp"
#include "platform/posix/debug_engine/lookup_failure.hpp"

namespace {

using korvo::calltrail::platform::iid_debug_client;
using korvo::calltrail::platform::iid_debug_control;
using korvo::calltrail::platform::iid_debug_symbols;

constexpr IID iid_unrelated = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr ULONG non_invasive = DEBUG_ATTACH_NONINVASIVE | DEBUG_ATTACH_NONINVASIVE_NO_SUSPEND;

// Runs on a thread of its own, so that no earlier initialisation is seen.
template <typename F> void on_fresh_thread(F f) {
    std::thread thread(f);
    thread.join();
}

TEST(posix_com, first_call_initialises_and_later_ones_count_in_the_same_apartment) {
    on_fresh_thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        // Still initialised once: the failed call did not count.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        // Balanced: the thread may now enter the other apartment.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
}

TEST(posix_com, each_thread_has_its_own_count) {
    on_fresh_thread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        on_fresh_thread([] {
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
            CoUninitialize();
        });
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    });
}

TEST(posix_com, an_extra_uninitialise_does_not_go_below_zero_and_bad_arguments_are_refused) {
    on_fresh_thread([] {
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
        int reserved = 0;
        EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
        EXPECT_EQ(CoInitializeEx(nullptr, 0x100u), E_INVALIDARG);
        // Neither refused call initialised anything.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    });
}

TEST(posix_debug_client, query_interface_answers_the_three_interfaces_and_iunknown) {
    IDebugClient* client = nullptr;
    ASSERT_EQ(DebugCreate(iid_debug_client, reinterpret_cast<void**>(&client)), S_OK);
    ASSERT_NE(client, nullptr);

    IDebugControl* control = nullptr;
    IDebugSymbols* symbols = nullptr;
    IUnknown* identity = nullptr;
    IUnknown* identity_from_control = nullptr;
    EXPECT_EQ(client->QueryInterface(iid_debug_control, reinterpret_cast<void**>(&control)), S_OK);
    EXPECT_EQ(client->QueryInterface(iid_debug_symbols, reinterpret_cast<void**>(&symbols)), S_OK);
    EXPECT_EQ(client->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    ASSERT_NE(control, nullptr);
    ASSERT_NE(symbols, nullptr);
    ASSERT_NE(identity, nullptr);
    EXPECT_EQ(control->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity_from_control)), S_OK);
    // One object: every interface leads to the same identity.
    EXPECT_EQ(identity, identity_from_control);

    void* other = reinterpret_cast<void*>(&client);
    EXPECT_EQ(client->QueryInterface(iid_unrelated, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    other = reinterpret_cast<void*>(&client);
    EXPECT_EQ(symbols->QueryInterface(iid_unrelated, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(client->QueryInterface(iid_debug_control, nullptr), E_POINTER);

    // Creation gave one reference and each query one more: six in all.
    EXPECT_EQ(client->AddRef(), 6u);
    EXPECT_EQ(client->Release(), 5u);
    EXPECT_EQ(identity_from_control->Release(), 4u);
    EXPECT_EQ(identity->Release(), 3u);
    EXPECT_EQ(control->Release(), 2u);
    EXPECT_EQ(client->Release(), 1u);
    EXPECT_EQ(symbols->Release(), 0u);
}

TEST(posix_debug_client, debug_create_gives_any_of_its_interfaces_and_nothing_else) {
    // On a fresh thread the first client is made and the later ones are the
    // one let go before, also after a refused creation: each comes with
    // exactly the caller's reference.
    on_fresh_thread([] {
        for (const IID& iid : {iid_debug_symbols, iid_debug_client, iid_unrelated, iid_debug_control, IID_IUnknown}) {
            void* object = reinterpret_cast<void*>(&object);
            if (iid == iid_unrelated) {
                EXPECT_EQ(DebugCreate(iid, &object), E_NOINTERFACE);
                EXPECT_EQ(object, nullptr);
                continue;
            }
            ASSERT_EQ(DebugCreate(iid, &object), S_OK);
            ASSERT_NE(object, nullptr);
            auto* unknown = static_cast<IUnknown*>(object);
            EXPECT_EQ(unknown->AddRef(), 2u);
            EXPECT_EQ(unknown->Release(), 1u);
            EXPECT_EQ(unknown->Release(), 0u);
        }
        EXPECT_EQ(DebugCreate(iid_debug_client, nullptr), E_POINTER);
    });
}

struct client_and_control {
    IDebugClient* client = nullptr;
    IDebugControl* control = nullptr;
    client_and_control() {
        EXPECT_EQ(DebugCreate(iid_debug_client, reinterpret_cast<void**>(&client)), S_OK);
        EXPECT_EQ(client->QueryInterface(iid_debug_control, reinterpret_cast<void**>(&control)), S_OK);
    }
    ~client_and_control() {
        control->Release();
        client->Release();
    }
};

TEST(posix_debug_client, attach_succeeds_only_non_invasively_on_this_machine_and_process) {
    const ULONG self = GetCurrentProcessId();
    {
        client_and_control c;
        EXPECT_NE(c.client->AttachProcess(1, self, non_invasive), S_OK);
        EXPECT_NE(c.client->AttachProcess(0, static_cast<ULONG>(getppid()), non_invasive), S_OK);
        EXPECT_NE(c.client->AttachProcess(0, self + 1000000u, non_invasive), S_OK);
        // A process cannot debug itself invasively.
        EXPECT_NE(c.client->AttachProcess(0, self, 0), S_OK);
        EXPECT_NE(c.client->AttachProcess(0, self, DEBUG_ATTACH_EXISTING), S_OK);
        EXPECT_NE(c.client->AttachProcess(0, self, non_invasive | DEBUG_ATTACH_EXISTING), S_OK);
        // None of the refused attaches left anything to wait for.
        EXPECT_NE(c.control->WaitForEvent(DEBUG_WAIT_DEFAULT, INFINITE), S_OK);
    }
    for (ULONG flags : {DEBUG_ATTACH_NONINVASIVE, non_invasive}) {
        client_and_control c;
        EXPECT_EQ(c.client->AttachProcess(0, self, flags), S_OK);
        EXPECT_EQ(c.control->WaitForEvent(DEBUG_WAIT_DEFAULT, INFINITE), S_OK);
        // The attach has completed; there is no second event, nor a second
        // attach of the same client.
        EXPECT_NE(c.control->WaitForEvent(DEBUG_WAIT_DEFAULT, INFINITE), S_OK);
        EXPECT_NE(c.client->AttachProcess(0, self, flags), S_OK);
    }
}

__attribute__((noinline)) int some_function_of_the_program(int x) { return x * 7 + 1; }

TEST(posix_debug_client, lookups_wait_for_the_attach_to_complete) {
    client_and_control c;
    IDebugSymbols* symbols = nullptr;
    ASSERT_EQ(c.client->QueryInterface(iid_debug_symbols, reinterpret_cast<void**>(&symbols)), S_OK);
    const ULONG64 code = posix_engine_test::offset_of(reinterpret_cast<const void*>(&some_function_of_the_program));
    char buffer[256] = "untouched";
    ULONG size = 99;
    EXPECT_LT(symbols->GetNameByOffset(code, buffer, sizeof buffer, &size, nullptr), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_STREQ(buffer, "");

    ASSERT_EQ(c.client->AttachProcess(0, GetCurrentProcessId(), non_invasive), S_OK);
    size = 99;
    EXPECT_LT(symbols->GetNameByOffset(code, buffer, sizeof buffer, &size, nullptr), 0);
    EXPECT_EQ(size, 0u);

    ASSERT_EQ(c.control->WaitForEvent(DEBUG_WAIT_DEFAULT, INFINITE), S_OK);
    EXPECT_EQ(symbols->GetNameByOffset(code, buffer, sizeof buffer, &size, nullptr), S_OK);
    EXPECT_EQ(std::string(buffer),
              posix_engine_test::program_name() + "!(anonymous namespace)::some_function_of_the_program(int)");
    EXPECT_EQ(size, std::strlen(buffer) + 1);
    symbols->Release();
}

TEST(posix_debug_client, the_symbols_interface_outlives_the_released_client_and_control) {
    IDebugSymbols* symbols = nullptr;
    {
        client_and_control c;
        ASSERT_EQ(c.client->AttachProcess(0, GetCurrentProcessId(), non_invasive), S_OK);
        ASSERT_EQ(c.control->WaitForEvent(DEBUG_WAIT_DEFAULT, INFINITE), S_OK);
        ASSERT_EQ(c.client->QueryInterface(iid_debug_symbols, reinterpret_cast<void**>(&symbols)), S_OK);
    }
    char buffer[256];
    ULONG size = 0;
    const ULONG64 code = posix_engine_test::offset_of(reinterpret_cast<const void*>(&some_function_of_the_program));
    EXPECT_EQ(symbols->GetNameByOffset(code, buffer, sizeof buffer, &size, nullptr), S_OK);
    EXPECT_NE(std::string(buffer).find("some_function_of_the_program"), std::string::npos);
    EXPECT_EQ(symbols->Release(), 0u);
}

// Only lack of memory or descriptors is E_OUTOFMEMORY, which the engine
// tries again; a fault of the lookup itself is not.
TEST(posix_debug_client, a_lookup_that_threw_answers_out_of_memory_only_for_memory_or_descriptors) {
    using korvo::calltrail::posix_engine::failure_of_current_exception;
    const std::pair<void (*)(), HRESULT> cases[] = {
        {[] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {[] { throw korvo::calltrail::posix_engine::out_of_resources(); }, E_OUTOFMEMORY},
        {[] { throw std::out_of_range("index"); }, E_UNEXPECTED},
        {[] { throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur)); }, E_UNEXPECTED},
        {[] { throw 42; }, E_UNEXPECTED},
    };
    for (const auto& c : cases) {
        HRESULT answer = S_OK;
        try {
            c.first();
        } catch (...) {
            answer = failure_of_current_exception();
        }
        EXPECT_EQ(answer, c.second);
    }
}

} // namespace
