#ifndef KORVO_CALLTRAIL_ENGINE_COM_REF_HPP
#define KORVO_CALLTRAIL_ENGINE_COM_REF_HPP

#include "com_apartment_guard.hpp"

namespace korvo {
namespace calltrail {

// Owns the one reference handed out through out_address and releases it once.
// Taking the guard makes it impossible to hold an interface outside COM.
template <class Interface> class com_ref {
public:
    explicit com_ref(com_apartment_guard&) noexcept {}
    ~com_ref() {
        if (pointer != nullptr) pointer->Release();
    }

    com_ref(const com_ref&) = delete;
    com_ref& operator=(const com_ref&) = delete;

    Interface* get() const noexcept { return pointer; }
    // Only for an empty holder: whatever is written here is owned from then on.
    Interface** out_address() noexcept { return &pointer; }
    explicit operator bool() const noexcept { return pointer != nullptr; }

private:
    Interface* pointer = nullptr;
};

} // namespace calltrail
} // namespace korvo

#endif
