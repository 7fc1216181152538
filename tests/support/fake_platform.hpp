#ifndef KORVO_CALLTRAIL_TESTS_FAKE_PLATFORM_HPP
#define KORVO_CALLTRAIL_TESTS_FAKE_PLATFORM_HPP

// A scripted stand-in for every Windows operation the engine calls. Each call
// is recorded in order with its arguments, and each answer comes from the
// script of the running test. Single-threaded by design.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace fake_platform {

// How DebugCreate or a QueryInterface answers: its result, and whether it
// hands out an object (it may do so even while failing).
struct step {
    HRESULT result = S_OK;
    bool hands_object = true;
};

// One answer of GetNameByOffset or GetLineByOffset. The text is written the
// way the engine writes it: cut to the buffer and NUL-terminated, unless
// terminate is false, when as much of it as fits is written with no NUL.
struct text_answer {
    HRESULT result = E_FAIL;
    std::string text;
    ULONG reported_size = 0; // through the size pointer, when one is given
    ULONG line = 0;          // through the line pointer, when one is given
    bool terminate = true;
    bool throws_bad_alloc = false; // instead of answering
};

// The engine found the text; the size counts the NUL, as the engine's does.
text_answer found(const std::string& text, ULONG line = 0);
// The text needs more room than it was given: S_FALSE, the text cut, and the
// full size counting the NUL.
text_answer too_long(const std::string& text, ULONG line = 0);
// Nothing known for the address.
text_answer missing(HRESULT result = E_FAIL);

struct script {
    HRESULT co_initialize = S_OK;
    step debug_create;
    step query_control;
    HRESULT attach = S_OK;
    HRESULT wait = S_OK;
    step query_symbols;
    DWORD process_id = 4242;
    // Consumed one per call; an empty queue answers missing().
    std::deque<text_answer> names;
    std::deque<text_answer> lines;
    USHORT walker_count = 0;
};

struct call {
    // "CoInitializeEx", "DebugCreate(IDebugClient)", "client1.AttachProcess",
    // "symbols1.GetNameByOffset", "control1.Release", ...
    std::string what;

    // CoInitializeEx, AttachProcess and WaitForEvent flags.
    const void* reserved = nullptr;
    ULONG flags = 0;
    // DebugCreate and QueryInterface.
    bool out_given = false;
    bool out_was_null = false;
    // AttachProcess.
    ULONG64 server = ~ULONG64{0};
    ULONG process_id = 0;
    // WaitForEvent.
    ULONG timeout = 0;
    // GetNameByOffset and GetLineByOffset.
    ULONG64 offset = 0;
    const char* buffer = nullptr;
    ULONG buffer_size = 0;
    char first_char = 'x'; // of the buffer on entry
    const ULONG* size_pointer = nullptr;
    ULONG size_on_entry = 0;
    const ULONG* line_pointer = nullptr;
    ULONG line_on_entry = 0;
    const ULONG64* displacement = nullptr;
    // RtlCaptureStackBackTrace.
    ULONG skip = 0;
    ULONG count = 0;
    PVOID* out = nullptr;
    PULONG hash = nullptr;
};

// Forgets every call, object and answer: a fresh script for the next test.
void reset();
script& scripted();
const std::vector<call>& calls();
std::vector<std::string> call_names();
// The calls whose name is exactly what, in order.
std::vector<call> calls_named(const std::string& what);

// References handed out and not yet released, over all objects.
long live_references();
// Releases of an object that had no reference left.
int over_releases();
// Successful CoInitializeEx calls not yet balanced; negative when the library
// left COM more often than it entered it.
int com_depth();

} // namespace fake_platform

#endif
