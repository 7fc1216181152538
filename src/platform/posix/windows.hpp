#ifndef KORVO_CALLTRAIL_POSIX_WINDOWS_HPP
#define KORVO_CALLTRAIL_POSIX_WINDOWS_HPP

// Windows-style declarations of exactly what the engine calls, with the same
// names, widths and result codes, implemented by the stand-ins beside this
// header (or by a test's scripted fake).

#include <cstdint>

using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using ULONG64 = std::uint64_t;
using HRESULT = std::int32_t;
using PVOID = void*;
using LPVOID = void*;
using PSTR = char*;
using PULONG = ULONG*;
using PULONG64 = ULONG64*;

#define STDMETHODCALLTYPE
#define NTAPI
#define WINAPI

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using REFIID = const IID&;

constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
constexpr bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_MULTITHREADED = 0x0;

constexpr ULONG DEBUG_ATTACH_NONINVASIVE = 0x00000001;
constexpr ULONG DEBUG_ATTACH_EXISTING = 0x00000002;
constexpr ULONG DEBUG_ATTACH_NONINVASIVE_NO_SUSPEND = 0x00000004;
constexpr ULONG DEBUG_WAIT_DEFAULT = 0x00000000;
constexpr DWORD INFINITE = 0xFFFFFFFFu;

// COM objects are released, never deleted, by their users.
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IDebugClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AttachProcess(ULONG64 server, ULONG process_id, ULONG attach_flags) = 0;

protected:
    ~IDebugClient() = default;
};

struct IDebugControl : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE WaitForEvent(ULONG flags, ULONG timeout) = 0;

protected:
    ~IDebugControl() = default;
};

struct IDebugSymbols : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetNameByOffset(ULONG64 offset, PSTR name_buffer, ULONG name_buffer_size,
                                                      PULONG name_size, PULONG64 displacement) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLineByOffset(ULONG64 offset, PULONG line, PSTR file_buffer,
                                                      ULONG file_buffer_size, PULONG file_size,
                                                      PULONG64 displacement) = 0;

protected:
    ~IDebugSymbols() = default;
};

// Windows kernel.
USHORT NTAPI RtlCaptureStackBackTrace(ULONG frames_to_skip, ULONG frames_to_capture, PVOID* back_trace,
                                      PULONG back_trace_hash);
DWORD WINAPI GetCurrentProcessId();

// COM runtime.
HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD co_init);
void WINAPI CoUninitialize();

// Debug Engine.
HRESULT WINAPI DebugCreate(REFIID interface_id, PVOID* object);

#endif
