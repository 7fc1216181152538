// Stand-ins for a host without a Debug Engine: COM initialises, the engine
// cannot be created, so every lookup answers empty.
#include "../platform.hpp"

HRESULT WINAPI CoInitializeEx(LPVOID, DWORD) { return S_OK; }

void WINAPI CoUninitialize() {}

HRESULT WINAPI DebugCreate(REFIID, PVOID* object) {
    if (object != nullptr) *object = nullptr;
    return E_NOTIMPL;
}
