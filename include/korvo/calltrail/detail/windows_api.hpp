#ifndef KORVO_CALLTRAIL_DETAIL_WINDOWS_API_HPP
#define KORVO_CALLTRAIL_DETAIL_WINDOWS_API_HPP

// The few Windows functions the crash handler calls, declared as <windows.h>
// declares them, so that the handler does not bring all of <windows.h> into
// the file that includes it (a later <winsock2.h> would clash with its
// <winsock.h>). Either may come first. The stack unwinding functions, whose
// types differ from one SDK to another, are looked up when first needed.
// Part of crash_handler.hpp.

#if defined(_WIN32)

#include <cstddef>
#include <cstdint>
#include <io.h>

struct _OVERLAPPED;
struct _SECURITY_ATTRIBUTES;
struct _EXCEPTION_POINTERS;
struct HINSTANCE__;

extern "C" {
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* buffer, unsigned long size,
                                              unsigned long* written, _OVERLAPPED* overlapped);
__declspec(dllimport) int __stdcall CloseHandle(void* object);
__declspec(dllimport) void* __stdcall CreateEventW(_SECURITY_ATTRIBUTES* attributes, int manual_reset,
                                                   int initial_state, const wchar_t* name);
__declspec(dllimport) int __stdcall SetEvent(void* event);
__declspec(dllimport) unsigned long __stdcall WaitForSingleObject(void* object, unsigned long milliseconds);
__declspec(dllimport) void* __stdcall CreateThread(_SECURITY_ATTRIBUTES* attributes, unsigned long long stack_size,
                                                   unsigned long(__stdcall* start)(void*), void* parameter,
                                                   unsigned long flags, unsigned long* thread_id);
__declspec(dllimport) void* __stdcall GetCurrentProcess();
__declspec(dllimport) unsigned long __stdcall GetCurrentThreadId();
__declspec(dllimport) int __stdcall TerminateProcess(void* process, unsigned int exit_code);
__declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);
__declspec(dllimport) int __stdcall SetThreadStackGuarantee(unsigned long* size);
__declspec(dllimport) long(__stdcall* __stdcall SetUnhandledExceptionFilter(
    long(__stdcall* filter)(_EXCEPTION_POINTERS*)))(_EXCEPTION_POINTERS*);
__declspec(dllimport) unsigned long __stdcall GetModuleFileNameA(HINSTANCE__* module, char* name, unsigned long size);
__declspec(dllimport) HINSTANCE__* __stdcall GetModuleHandleW(const wchar_t* name);
__declspec(dllimport) long long(__stdcall* __stdcall GetProcAddress(HINSTANCE__* module, const char* name))();
__declspec(dllimport) void* __stdcall RtlPcToFileHeader(void* pc, void** base);
}

namespace korvo {
namespace calltrail {
namespace windows_api {

typedef void* handle;
typedef unsigned long dword;
typedef long(__stdcall* exception_filter)(_EXCEPTION_POINTERS*);

const dword standard_error_handle = static_cast<dword>(-12);
const dword infinite = 0xffffffffu;
const long execute_handler = 1;

// An exception as the system hands it to a filter: EXCEPTION_RECORD and
// EXCEPTION_POINTERS, field for field.
struct exception_record {
    dword code;
    dword flags;
    exception_record* inner;
    void* address;
    dword parameter_count;
    std::uintptr_t parameters[15];
};

struct exception_pointers {
    exception_record* record;
    void* context;
};

// The x64 CONTEXT: its size and alignment, and where rip and rsp are.
struct alignas(16) x64_context {
    unsigned char bytes[1232];

    std::uint64_t get(std::size_t offset) const {
        std::uint64_t value;
        for (std::size_t i = 0; i < 8; ++i) reinterpret_cast<unsigned char*>(&value)[i] = bytes[offset + i];
        return value;
    }
    void set(std::size_t offset, std::uint64_t value) {
        for (std::size_t i = 0; i < 8; ++i) bytes[offset + i] = reinterpret_cast<const unsigned char*>(&value)[i];
    }
    std::uint64_t rip() const { return get(0xf8); }
    std::uint64_t rsp() const { return get(0x98); }
    void set_rip(std::uint64_t value) { set(0xf8, value); }
    void set_rsp(std::uint64_t value) { set(0x98, value); }
};

// RtlLookupFunctionEntry and RtlVirtualUnwind of x64, by their ABI.
typedef void*(__stdcall* lookup_function_entry)(std::uint64_t pc, std::uint64_t* image_base, void* history);
typedef void*(__stdcall* virtual_unwind)(dword handler_type, std::uint64_t image_base, std::uint64_t pc, void* entry,
                                         void* context, void** handler_data, std::uint64_t* establisher,
                                         void* context_pointers);

template <class Function> Function kernel_function(const char* name) {
    const wchar_t* const modules[] = {L"kernel32.dll", L"ntdll.dll"};
    for (const wchar_t* module : modules) {
        HINSTANCE__* loaded = GetModuleHandleW(module);
        if (loaded == nullptr) continue;
        // Through void (*)(), the one function type casts to any other from.
        if (const auto found = GetProcAddress(loaded, name))
            return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
    }
    return nullptr;
}

} // namespace windows_api
} // namespace calltrail
} // namespace korvo

#endif // _WIN32

#endif
