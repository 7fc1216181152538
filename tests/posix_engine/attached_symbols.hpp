#ifndef KORVO_CALLTRAIL_TESTS_POSIX_ENGINE_ATTACHED_SYMBOLS_HPP
#define KORVO_CALLTRAIL_TESTS_POSIX_ENGINE_ATTACHED_SYMBOLS_HPP

#include <cstdint>
#include <string>

#include "platform/platform.hpp"
#include "probe.hpp"

namespace posix_engine_test {

// The symbols interface of one attach, obtained in the order the library
// uses; every step must succeed.
class attached_symbols {
public:
    attached_symbols();
    ~attached_symbols();
    attached_symbols(const attached_symbols&) = delete;
    attached_symbols& operator=(const attached_symbols&) = delete;

    IDebugSymbols* get() const { return symbols_; }
    bool ready() const { return symbols_ != nullptr; }

    // The whole symbol text through the needed-size protocol; empty when the
    // engine finds nothing.
    std::string name(const void* address) const;
    // The whole path and the line; an empty path and 0 when nothing is found.
    std::string file(const void* address, ULONG* line = nullptr) const;
    ULONG line(const void* address) const;

private:
    IDebugSymbols* symbols_ = nullptr;
    bool uninitialize_ = false;
};

inline ULONG64 offset_of(const void* address) {
    return static_cast<ULONG64>(reinterpret_cast<std::uintptr_t>(address));
}

// The probe's capture: takes the stack into the probe.
void capture_stack(probe* p);

// The file name of the running test program, as it names its module.
std::string program_name();

// Where the C library's separate debug file is, by its build-id; whether it
// is installed is for the caller to check.
std::string c_library_debug_file();

} // namespace posix_engine_test

#endif
