#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

symbol_resolver::symbol_resolver() : apartment(), symbols(apartment) { open_symbols(symbols, apartment); }

// Each early return releases what was obtained so far, control before client,
// by the holders' destruction order.
void symbol_resolver::open_symbols(com_ref<IDebugSymbols>& symbols, com_apartment_guard& apartment) {
    com_ref<IDebugClient> client(apartment);
    if (DebugCreate(platform::iid_debug_client, reinterpret_cast<void**>(client.out_address())) != S_OK || !client)
        return;

    com_ref<IDebugControl> control(apartment);
    if (client.get()->QueryInterface(platform::iid_debug_control, reinterpret_cast<void**>(control.out_address())) !=
            S_OK ||
        !control)
        return;

    const ULONG process_id = GetCurrentProcessId();
    const ULONG attach_flags = DEBUG_ATTACH_NONINVASIVE | DEBUG_ATTACH_NONINVASIVE_NO_SUSPEND;
    if (client.get()->AttachProcess(0, process_id, attach_flags) != S_OK) return;

    if (control.get()->WaitForEvent(DEBUG_WAIT_DEFAULT, INFINITE) != S_OK) return;

    // Whether a pointer arrived decides readiness, whatever the result says.
    client.get()->QueryInterface(platform::iid_debug_symbols, reinterpret_cast<void**>(symbols.out_address()));
}

} // namespace calltrail
} // namespace korvo
