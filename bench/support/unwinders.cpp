#include "unwinders.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <unwind.h>

#include <cstdint>

namespace calltrail_bench {

unw_backtrace_fn private_unw_backtrace() {
    static const unw_backtrace_fn found = [] {
        void* library = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL);
        return library != nullptr ? reinterpret_cast<unw_backtrace_fn>(dlsym(library, "unw_backtrace")) : nullptr;
    }();
    return found;
}

namespace {

struct gcc_walk {
    void** out;
    std::size_t wanted;
    std::size_t written;
    bool own_frame_passed;
};

_Unwind_Reason_Code record(_Unwind_Context* context, void* argument) {
    auto& walk = *static_cast<gcc_walk*>(argument);
    const auto ip = _Unwind_GetIP(context);
    if (ip == 0) return _URC_END_OF_STACK;
    if (!walk.own_frame_passed) {
        walk.own_frame_passed = true;
        return _URC_NO_REASON;
    }
    walk.out[walk.written++] = reinterpret_cast<void*>(ip);
    return walk.written == walk.wanted ? _URC_END_OF_STACK : _URC_NO_REASON;
}

struct stack_bounds {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
};

stack_bounds this_thread_stack() {
    stack_bounds bounds;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return bounds;
    void* base = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
        bounds.low = reinterpret_cast<std::uintptr_t>(base);
        bounds.high = bounds.low + size;
    }
    pthread_attr_destroy(&attributes);
    return bounds;
}

} // namespace

__attribute__((noinline)) std::size_t unwind_backtrace(void** out, std::size_t count) {
    gcc_walk walk{out, count, 0, false};
    if (count != 0) _Unwind_Backtrace(record, &walk);
    __asm__ __volatile__("" ::: "memory");
    return walk.written;
}

__attribute__((noinline)) std::size_t frame_pointer_walk(void** out, std::size_t count) {
    thread_local const stack_bounds bounds = this_thread_stack();
    auto* fp = static_cast<std::uintptr_t*>(__builtin_frame_address(0));
    std::size_t written = 0;
    // Our own frame is not reported: its saved return address is the caller's.
    while (written < count) {
        const std::uintptr_t return_address = fp[1];
        if (return_address == 0) break;
        out[written++] = reinterpret_cast<void*>(return_address);
        const std::uintptr_t next = fp[0];
        if (next <= reinterpret_cast<std::uintptr_t>(fp) || next >= bounds.high || (next & 7) != 0) break;
        fp = reinterpret_cast<std::uintptr_t*>(next);
    }
    return written;
}

} // namespace calltrail_bench
