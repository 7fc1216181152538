// The three walkers the walker benchmarks compare, each writing at most
// `wanted` return addresses from its caller up: calltrail's collect,
// libunwind's unw_backtrace (opened privately, as in the capture bench) and
// libgcc's _Unwind_Backtrace. Each must be looked up before a signal handler
// uses it: resolve_walkers() does that.
#ifndef CALLTRAIL_BENCH_WALKER_WALKERS_HPP
#define CALLTRAIL_BENCH_WALKER_WALKERS_HPP

#include <korvo/calltrail/this_thread_frames.hpp>

#include <dlfcn.h>
#include <unwind.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace walker_bench {

enum class walker { ours, libunwind, libgcc };
constexpr const char* walker_names[] = {"calltrail", "libunwind", "libgcc"};

using unw_backtrace_fn = int (*)(void**, int);
inline unw_backtrace_fn unw_backtrace_entry = nullptr;

inline void resolve_walkers(bool warm = true) {
    if (void* library = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL))
        unw_backtrace_entry = reinterpret_cast<unw_backtrace_fn>(dlsym(library, "unw_backtrace"));
    if (unw_backtrace_entry == nullptr) {
        std::fprintf(stderr, "libunwind.so.8 not found (apt-get install libunwind8)\n");
        std::exit(2);
    }
    // libunwind's first walk here, where it may load and bind what it needs.
    void* out[4];
    if (warm) unw_backtrace_entry(out, 4);
}

struct gcc_walk {
    void** out;
    int wanted;
    int written;
};

inline _Unwind_Reason_Code gcc_record(_Unwind_Context* context, void* argument) {
    auto& w = *static_cast<gcc_walk*>(argument);
    const auto ip = _Unwind_GetIP(context);
    if (ip == 0) return _URC_END_OF_STACK;
    w.out[w.written++] = reinterpret_cast<void*>(ip);
    return w.written == w.wanted ? _URC_END_OF_STACK : _URC_NO_REASON;
}

__attribute__((noinline)) inline int walk_with(walker which, void** out, int wanted) {
    switch (which) {
    case walker::ours:
        return static_cast<int>(korvo::calltrail::detail::this_thread_frames::collect(
            const_cast<const void**>(out), static_cast<std::size_t>(wanted), 0));
    case walker::libunwind:
        return unw_backtrace_entry(out, wanted);
    case walker::libgcc: {
        gcc_walk w{out, wanted, 0};
        _Unwind_Backtrace(&gcc_record, &w);
        return w.written;
    }
    }
    return 0;
}

inline walker walker_named(const char* name) {
    for (int i = 0; i < 3; ++i)
        if (std::strcmp(name, walker_names[i]) == 0) return static_cast<walker>(i);
    std::fprintf(stderr, "unknown walker %s\n", name);
    std::exit(2);
}

} // namespace walker_bench

#endif
