// The smashed-stack campaign: in a forked child, a chain of calls on the main
// thread or on a 16 KiB thread stack has words of its callers' frames
// overwritten, then faults; a SIGSEGV handler on an alternate stack walks
// the stack with one walker. A walk that faults kills the child with SIGSEGV
// (the handler's signal is blocked while it runs); one that loops is ended
// by an alarm.
//   smashed_stacks SEEDS [WALKER...]     prints one line per walker
#include "walkers.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

using namespace walker_bench;

namespace {

enum pattern : int {
    random_words,
    zeros,
    this_stack_pointers,
    other_stack_pointers,
    forged_return_addresses,
    rbp_below_top,
    pattern_count
};
const char* const pattern_names[] = {"random words",
                                     "zeros",
                                     "pointers into this stack",
                                     "pointers into another stack",
                                     "forged return addresses",
                                     "saved rbp below the top"};

struct job {
    walker which;
    pattern kind;
    std::uint64_t seed;
    std::uintptr_t stack_top;
    std::uintptr_t other_low, other_high;
    std::uintptr_t restorer;
};
job the_job;

// Functions whose code forged return addresses point into; the large frame
// sends a CFA counted from rsp far above the stack.
extern "C" __attribute__((noinline)) int smash_large_frame(int n) {
    volatile char block[1 << 20];
    block[n] = 1;
    return block[n / 2];
}
extern "C" __attribute__((noinline)) int smash_small_frame(int n) {
    volatile char block[64];
    block[n & 63] = 1;
    return block[n & 31] + smash_large_frame(n);
}

void on_fault(int, siginfo_t*, void*) {
    void* out[128];
    const int n = walk_with(the_job.which, out, 128);
    _exit(n >= 0 ? 0 : 1);
}

std::uintptr_t value_for(std::mt19937_64& random, std::uintptr_t here) {
    // here: a word of the frames being smashed
    const job& j = the_job;
    switch (j.kind) {
    case random_words:
        return random();
    case zeros:
        return 0;
    case this_stack_pointers:
        return here + (random() % 4096) - 2048 + ((random() % 4 == 0) ? (j.stack_top - here) : 0);
    case other_stack_pointers:
        return j.other_low + random() % (j.other_high - j.other_low + 64);
    case forged_return_addresses: {
        const std::uintptr_t targets[] = {
            reinterpret_cast<std::uintptr_t>(&smash_large_frame), reinterpret_cast<std::uintptr_t>(&smash_small_frame),
            j.restorer, reinterpret_cast<std::uintptr_t>(&std::qsort), reinterpret_cast<std::uintptr_t>(&std::printf)};
        const std::uintptr_t target = targets[random() % 5];
        return target == j.restorer && random() % 2 == 0 ? target : target + random() % 96;
    }
    case rbp_below_top:
        return random() % 2 == 0 ? j.stack_top - 8 * (1 + random() % 4) : here + 16 * (random() % 32);
    default:
        return 0;
    }
}

// Overwrites some words of the callers' frames, then faults.
// The generator is not on the stack, whose words it chooses.
std::mt19937_64 random;

extern "C" __attribute__((noinline)) void smash_and_fault(volatile char* caller_frame) {
    const auto here = reinterpret_cast<std::uintptr_t>(caller_frame) & ~std::uintptr_t{7};
    random.seed(the_job.seed);
    const std::uintptr_t start = here - 64 + 8 * (random() % 48);
    const unsigned words = 1 + static_cast<unsigned>(random() % 48);
    const bool all = random() % 3 == 0;
    for (unsigned i = 0; i < words; ++i) {
        const std::uintptr_t at = start + 8 * i;
        if (at + 8 > the_job.stack_top) break;
        if (!all && random() % 2 == 0) continue;
        *reinterpret_cast<volatile std::uintptr_t*>(at) = value_for(random, here);
    }
    *reinterpret_cast<volatile int*>(std::uintptr_t{0x10}) = 0;
}

extern "C" __attribute__((noinline)) void smash_chain(int depth) {
    volatile char frame[24];
    frame[depth % 24] = static_cast<char>(depth);
    if (depth == 0)
        smash_and_fault(frame);
    else
        smash_chain(depth - 1);
    frame[0] = frame[1];
}

void use_alternate_stack() {
    const std::size_t alternate_size = 64 * 1024;
    void* alternate = mmap(nullptr, alternate_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    stack_t stack{};
    stack.ss_sp = alternate;
    stack.ss_size = alternate_size;
    sigaltstack(&stack, nullptr);
}

// The end of the [stack] mapping: the main thread's stack goes on above
// __libc_stack_end with the arguments and the environment.
std::uintptr_t main_stack_top() {
    FILE* maps = std::fopen("/proc/self/maps", "r");
    char line[512];
    std::uintptr_t top = 0;
    while (maps != nullptr && std::fgets(line, sizeof line, maps) != nullptr) {
        unsigned long low = 0, high = 0;
        if (std::strstr(line, "[stack]") != nullptr && std::sscanf(line, "%lx-%lx", &low, &high) == 2) top = high;
    }
    if (maps != nullptr) std::fclose(maps);
    return top;
}

void* on_thread(void*) {
    use_alternate_stack();
    pthread_attr_t attributes;
    pthread_getattr_np(pthread_self(), &attributes);
    void* low = nullptr;
    std::size_t size = 0;
    pthread_attr_getstack(&attributes, &low, &size);
    the_job.stack_top = reinterpret_cast<std::uintptr_t>(low) + size;
    smash_chain(static_cast<int>(the_job.seed % 6) + 2);
    return nullptr;
}

[[noreturn]] void child(const job& j, bool on_thread_stack) {
    the_job = j;
    alarm(10);
    use_alternate_stack();
    struct sigaction action {};
    action.sa_sigaction = &on_fault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);
    struct sigaction installed {};
    sigaction(SIGSEGV, nullptr, &installed);
    the_job.restorer = reinterpret_cast<std::uintptr_t>(installed.sa_restorer);
    // Another stack, with an inaccessible page above it.
    auto* other =
        static_cast<char*>(mmap(nullptr, 20 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(other + 16 * 4096, 4 * 4096, PROT_NONE);
    the_job.other_low = reinterpret_cast<std::uintptr_t>(other);
    the_job.other_high = the_job.other_low + 16 * 4096;
    if (on_thread_stack) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, 16384);
        pthread_t thread;
        if (pthread_create(&thread, &attributes, &on_thread, nullptr) != 0) _exit(3);
        pthread_join(thread, nullptr);
    } else {
        the_job.stack_top = main_stack_top();
        smash_chain(static_cast<int>(j.seed % 6) + 2);
    }
    _exit(4);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SEEDS [WALKER...]\n", argv[0]);
        return 2;
    }
    resolve_walkers();
    // One run in this process, for a debugger: CALLTRAIL_SMASH_ONE=SEED,PATTERN,THREAD.
    if (const char* one = std::getenv("CALLTRAIL_SMASH_ONE")) {
        int seed = 0, kind = 0, thread_stack = 0;
        std::sscanf(one, "%d,%d,%d", &seed, &kind, &thread_stack);
        child(job{argc > 2 ? walker_named(argv[2]) : walker::ours, static_cast<pattern>(kind),
                  static_cast<std::uint64_t>(seed) * 7919 + static_cast<std::uint64_t>(kind), 0, 0, 0, 0},
              thread_stack != 0);
    }
    const int seeds = std::atoi(argv[1]);
    std::vector<walker> walkers;
    for (int i = 2; i < argc; ++i) walkers.push_back(walker_named(argv[i]));
    if (walkers.empty()) walkers = {walker::ours, walker::libunwind, walker::libgcc};
    for (const walker w : walkers) {
        int runs = 0, crashes = 0, hangs = 0, other = 0;
        int crashes_by_pattern[pattern_count] = {};
        for (int seed = 0; seed < seeds; ++seed) {
            for (int kind = 0; kind < pattern_count; ++kind) {
                for (const bool thread_stack : {false, true}) {
                    const job j{w, static_cast<pattern>(kind), static_cast<std::uint64_t>(seed) * 7919 + kind, 0, 0, 0,
                                0};
                    std::fflush(stdout);
                    const pid_t pid = fork();
                    if (pid == 0) child(j, thread_stack);
                    int status = 0;
                    waitpid(pid, &status, 0);
                    ++runs;
                    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
                    if (std::getenv("CALLTRAIL_SMASH_LIST") != nullptr)
                        std::printf("failed: %d,%d,%d\n", seed, kind, thread_stack ? 1 : 0);
                    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGSEGV || WTERMSIG(status) == SIGBUS)) {
                        ++crashes;
                        ++crashes_by_pattern[kind];
                    } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
                        ++hangs;
                    } else {
                        ++other;
                    }
                }
            }
        }
        std::printf("%-10s runs %6d  crashes %5d  hangs %d  other %d  |", walker_names[static_cast<int>(w)], runs,
                    crashes, hangs, other);
        for (int kind = 0; kind < pattern_count; ++kind)
            std::printf(" %s %d;", pattern_names[kind], crashes_by_pattern[kind]);
        std::printf("\n");
    }
    return 0;
}
