// The COM runtime's per-thread initialisation: a count and an apartment.
// A thread enters one apartment with its first successful call and stays in
// it until the calls are balanced; asking for the other one meanwhile fails.
#include "platform/platform.hpp"

namespace {

enum class apartment { none, multithreaded, single_threaded };

struct thread_com {
    unsigned long count = 0;
    apartment kind = apartment::none;
};

thread_local thread_com this_thread_com;

constexpr DWORD coinit_disable_ole1dde = 0x4;
constexpr DWORD coinit_speed_over_memory = 0x8;
constexpr DWORD known_flags =
    COINIT_APARTMENTTHREADED | COINIT_MULTITHREADED | coinit_disable_ole1dde | coinit_speed_over_memory;

} // namespace

HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD co_init) {
    if (reserved != nullptr || (co_init & ~known_flags) != 0) return E_INVALIDARG;
    const apartment wanted =
        (co_init & COINIT_APARTMENTTHREADED) != 0 ? apartment::single_threaded : apartment::multithreaded;
    thread_com& com = this_thread_com;
    if (com.count == 0) {
        com.kind = wanted;
        com.count = 1;
        return S_OK;
    }
    if (com.kind != wanted) return RPC_E_CHANGED_MODE;
    ++com.count;
    return S_FALSE;
}

void WINAPI CoUninitialize() {
    thread_com& com = this_thread_com;
    if (com.count == 0) return;
    if (--com.count == 0) com.kind = apartment::none;
}
