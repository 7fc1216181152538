// A crash handler that prints the stack of the crashing thread.
//
//   crash_handler segv    dereferences null
//   crash_handler abort   calls abort()
//
// The handler is calltrail's own, in <korvo/calltrail/crash_handler.hpp>.
#include <korvo/calltrail/crash_handler.hpp>

#include <cstdlib>
#include <cstring>

// Out of line and exported names, so that the trace shows each of them. The
// null store is the point: sanitizer builds must let it fault.
extern "C" __attribute__((noinline, no_sanitize("undefined"))) void faulting_function(volatile int* pointer) {
    *pointer = 42;
    __asm__ __volatile__("" ::: "memory");
}

extern "C" __attribute__((noinline)) void aborting_function() { std::abort(); }

extern "C" __attribute__((noinline)) void process_request(const char* how) {
    if (std::strcmp(how, "abort") == 0)
        aborting_function();
    else
        faulting_function(nullptr);
    __asm__ __volatile__("" ::: "memory");
}

int main(int argc, char** argv) {
    korvo::calltrail::install_crash_handler();
    process_request(argc > 1 ? argv[1] : "segv");
    return 0;
}
