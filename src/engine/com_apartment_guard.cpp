#include "com_apartment_guard.hpp"

#include "platform/platform.hpp"

namespace korvo {
namespace calltrail {

com_apartment_guard::com_apartment_guard() noexcept : must_uninitialize(false) {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // S_FALSE means this thread was already in the apartment; it still counts.
    must_uninitialize = result == S_OK || result == S_FALSE;
}

com_apartment_guard::~com_apartment_guard() {
    if (must_uninitialize) CoUninitialize();
}

} // namespace calltrail
} // namespace korvo
