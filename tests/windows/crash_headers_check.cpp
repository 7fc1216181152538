// The crash handler's header first, then the system's own: it must not have
// brought <windows.h> in (whose <winsock.h> a later <winsock2.h> clashes
// with), and its declarations must agree with the system's. Built with
// warnings as errors.
#include <korvo/calltrail/crash_handler.hpp>

#if defined(_WINDOWS_) || defined(_WINSOCKAPI_)
#error "crash_handler.hpp brought <windows.h> in"
#endif

#include <winsock2.h>

#include <windows.h>

bool headers_agree() {
    // Each as the system declares it, whichever declaration came first.
    HANDLE(WINAPI * standard_handle)(DWORD) = &GetStdHandle;
    int(WINAPI * startup)(WORD, LPWSADATA) = &WSAStartup;
    bool (*install)(const korvo::calltrail::crash_handler_settings&) = &korvo::calltrail::install_crash_handler;
    const volatile bool all = standard_handle != nullptr && startup != nullptr && install != nullptr;
    return all;
}
