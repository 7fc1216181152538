#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_LOOKUP_FAILURE_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_LOOKUP_FAILURE_HPP

// What an operation answers when its work threw: lack of memory or of
// descriptors passes, and is E_OUTOFMEMORY, which the next call tries
// again; anything else is a fault of the work itself, not of memory.

#include <new>

#include "platform/platform.hpp"
#include "platform/posix/object/file_source.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Called from a catch block, with the exception being handled.
inline HRESULT failure_of_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const out_of_resources&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
