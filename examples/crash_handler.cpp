// A crash handler that reports how the process died, whatever the way.
//
//   crash_handler segv             stores through null
//   crash_handler abort            calls abort()
//   crash_handler fpe              divides by zero
//   crash_handler ill              runs an illegal instruction
//   crash_handler trap             runs a breakpoint instruction
//   crash_handler overflow         recurses until the stack overflows
//   crash_handler thread-overflow  the same on a worker thread
//   crash_handler uncaught         lets std::out_of_range escape
//   crash_handler traced           lets a traced<std::runtime_error> escape
//   crash_handler nested           lets it escape nested in another one
//   crash_handler heap             damages the heap, then allocates, with other
//                                  threads allocating too
//
//   crash_handler HOW PROGRAM      any of them, the trace rendered by PROGRAM
//                                  (calltrail-symbolize) in a process of its own
//
// The handler is calltrail's own, in <korvo/calltrail/crash_handler.hpp>. It
// builds with -fno-exceptions and -fno-rtti too (then traced and nested are
// not there: such code cannot throw).
#include <korvo/calltrail/crash_handler.hpp>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

// Out of line and exported names, so that the trace shows each of them. The
// faults are the point: sanitizer builds must let them happen.
extern "C" __attribute__((noinline, no_sanitize("undefined"))) void faulting_function(volatile int* pointer) {
    *pointer = 42;
    __asm__ __volatile__("" ::: "memory");
}

extern "C" __attribute__((noinline)) void aborting_function() { std::abort(); }

volatile int zero = 0;

extern "C" __attribute__((noinline, no_sanitize("undefined"))) int dividing_function(int value) {
    const int result = value / zero;
    __asm__ __volatile__("" ::: "memory");
    return result;
}

extern "C" __attribute__((noinline)) void trapping_function(bool illegal) {
#if defined(__aarch64__)
    if (illegal)
        __asm__ __volatile__("udf #0");
    else
        __asm__ __volatile__("brk #0");
#else
    if (illegal)
        __asm__ __volatile__("ud2");
    else
        __asm__ __volatile__("int3");
#endif
    __asm__ __volatile__("" ::: "memory");
}

volatile long never = -1;

extern "C" __attribute__((noinline)) long recursing_function(long depth) {
    volatile char frame[256];
    frame[0] = static_cast<char>(depth);
    if (depth == never) return 0;
    const long below = recursing_function(depth + 1);
    __asm__ __volatile__("" ::: "memory");
    return below + frame[0];
}

extern "C" __attribute__((noinline)) void overflow_on_a_thread() {
    std::thread worker([] {
        korvo::calltrail::install_crash_stack_for_this_thread();
        recursing_function(0);
    });
    worker.join();
}

// glibc's allocator, as a stray write after a free leaves it: a freed chunk
// whose back link leads nowhere, which the next large allocation follows
// with the arena's lock held. Rendering in the process would wait for that
// lock for ever; the watchdog would end the report without names.
extern "C" __attribute__((noinline)) void damage_the_heap() {
    std::atomic<bool> stop{false};
    std::vector<std::thread> others;
    for (int i = 0; i < 3; ++i)
        others.emplace_back([&stop] {
            while (!stop.load()) std::free(std::malloc(64));
        });
    // Called through pointers, so that every call stays.
    void* (*volatile allocate)(std::size_t) = &std::malloc;
    void (*volatile release)(void*) = &std::free;
    const std::size_t size = 0x500; // past the thread caches, which take no lock
    char* chunk = nullptr;
    void* guard = nullptr;
    do { // a chunk between two in use, so that freeing it merges nothing
        chunk = static_cast<char*>(allocate(size));
        guard = allocate(size);
    } while (guard != chunk + size + 16 || (reinterpret_cast<const std::size_t*>(chunk)[-1] & 1) == 0);
    release(chunk);
    reinterpret_cast<void* volatile*>(chunk)[1] = reinterpret_cast<void*>(0x10);
    release(allocate(size + 0x100));
    stop.store(true);
    for (std::thread& t : others) t.join();
}

extern "C" __attribute__((noinline)) int read_past_the_end(const std::vector<int>& values) {
    return values.at(values.size()); // throws std::out_of_range
}

#if defined(__cpp_exceptions)
__attribute__((noinline)) void parse_header(const char* text) {
    if (*text == '\0') throw korvo::calltrail::traced<std::runtime_error>("empty header");
}

__attribute__((noinline)) void load_document(const char* text) {
    try {
        parse_header(text);
    } catch (const std::exception&) {
        std::throw_with_nested(korvo::calltrail::traced<std::runtime_error>("cannot load the document"));
    }
}
#endif

extern "C" __attribute__((noinline)) void process_request(const char* how) {
    if (std::strcmp(how, "abort") == 0) aborting_function();
    if (std::strcmp(how, "fpe") == 0) dividing_function(7);
    if (std::strcmp(how, "ill") == 0) trapping_function(true);
    if (std::strcmp(how, "trap") == 0) trapping_function(false);
    if (std::strcmp(how, "overflow") == 0) recursing_function(0);
    if (std::strcmp(how, "thread-overflow") == 0) overflow_on_a_thread();
    if (std::strcmp(how, "uncaught") == 0) read_past_the_end(std::vector<int>(3));
    if (std::strcmp(how, "heap") == 0) damage_the_heap();
#if defined(__cpp_exceptions)
    if (std::strcmp(how, "traced") == 0) parse_header("");
    if (std::strcmp(how, "nested") == 0) load_document("");
#endif
    faulting_function(nullptr);
    __asm__ __volatile__("" ::: "memory");
}

int main(int argc, char** argv) {
    korvo::calltrail::crash_handler_settings settings;
    if (argc > 2) {
        settings.render_out_of_process = true;
        settings.symbolizer_program = argv[2];
    }
    korvo::calltrail::install_crash_handler(settings);
    process_request(argc > 1 ? argv[1] : "segv");
    return 0;
}
