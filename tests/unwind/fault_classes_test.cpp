// The walk on the stacks where walkers fault or stop short, one test per
// class of fault: smashed stacks, epilogues, a signal restorer without unwind
// information, many libraries, a library reloaded where its twin was; and
// that the ordinary walk makes no allocation, lock or system call.
#include <korvo/calltrail/this_thread_frames.hpp>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "unwind/smash_chain.hpp"

using korvo::calltrail::detail::this_thread_frames;

extern "C" {
volatile int ct_spinning = 0;
volatile int ct_spin_done = 0;
void ct_epilogue_spin();
void ct_bare_restorer();
}

// A function stopped between `pop %rbp` and `ret`, whose rule for rbp still
// names the popped slot, as compilers write it; and the kernel's restorer
// without unwind information, after a byte no function covers.
__asm__(".text\n.globl ct_epilogue_spin\n.type ct_epilogue_spin,@function\nct_epilogue_spin:\n.cfi_startproc\n"
        "push %rbp\n.cfi_def_cfa_offset 16\n.cfi_offset %rbp,-16\nmov %rsp,%rbp\n.cfi_def_cfa_register %rbp\n"
        "movl $1,ct_spinning(%rip)\npop %rbp\n.cfi_def_cfa %rsp,8\n1: cmpl $0,ct_spin_done(%rip)\nje 1b\nret\n"
        ".cfi_endproc\n.p2align 4\nnop\n.globl ct_bare_restorer\nct_bare_restorer:\n"
        ".byte 0x48,0xc7,0xc0,0x0f,0x00,0x00,0x00,0x0f,0x05\n");

// Named by the tests, so exported and unmangled.
extern "C" __attribute__((noinline)) void epilogue_caller() {
    ct_epilogue_spin();
    __asm__ __volatile__("" ::: "memory");
}

extern "C" __attribute__((noinline)) void raise_through_bare_restorer() {
    raise(SIGUSR2);
    __asm__ __volatile__("" ::: "memory");
}

namespace {

struct capture {
    const void* frames[128];
    std::size_t count = 0;

    // The functions the frames return into, for a failure's message.
    std::string names() const {
        std::string text;
        for (std::size_t i = 0; i < count; ++i) {
            Dl_info info{};
            const bool named = dladdr(static_cast<const char*>(frames[i]) - 1, &info) != 0 && info.dli_sname;
            text += std::string(named ? info.dli_sname : "?") + " ";
        }
        return text;
    }
    bool returns_into(const char* function) const {
        return (" " + names()).find(" " + std::string(function) + " ") != std::string::npos;
    }
};
capture handler_capture;

void capture_in_handler(int) {
    handler_capture.count = this_thread_frames::collect(handler_capture.frames, 128, 0);
    ct_spin_done = 1;
}

// Runs body in a forked child and tells how it ended: 0 when it returned.
int in_child(void (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void on_own_stack(int signal, void (*handler)(int)) {
    const std::size_t size = 64 * 1024;
    stack_t stack{};
    stack.ss_sp = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    stack.ss_size = size;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_ONSTACK;
    sigaction(signal, &action, nullptr);
}

smash_plan plan;
bool with_frame_pointers;
std::uintptr_t main_stack_top = 0;

void smash_here(std::uintptr_t stack_top) {
    on_own_stack(SIGSEGV, [](int) {
        const std::size_t count = this_thread_frames::collect(handler_capture.frames, 128, 0);
        for (std::size_t i = 0; i < count; ++i)
            if (reinterpret_cast<std::uintptr_t>(handler_capture.frames[i]) - plan.forged[3] < 64) _exit(4);
        _exit(count > 2 ? 0 : 3);
    });
    plan.stack_top = stack_top;
    (with_frame_pointers ? smash_chain_with_frame_pointers
                         : smash_chain_without_frame_pointers)(static_cast<int>(plan.seed % 5) + 1, plan);
}

// On a 16 KiB thread stack, whose top is the end of the block glibc made.
void smash_on_a_small_thread() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 16384);
    pthread_t thread;
    pthread_create(
        &thread, &attributes,
        [](void*) -> void* {
            pthread_attr_t own;
            void* low = nullptr;
            std::size_t size = 0;
            pthread_getattr_np(pthread_self(), &own);
            pthread_attr_getstack(&own, &low, &size);
            smash_here(reinterpret_cast<std::uintptr_t>(low) + size);
            return nullptr;
        },
        nullptr);
    pthread_join(thread, nullptr);
}

TEST(walk_faults, smashed_stacks_end_walks_but_never_fault_them) {
    // Return addresses forged into the restorer, into frames of a megabyte and
    // into data.
    struct sigaction installed {};
    on_own_stack(SIGUSR1, capture_in_handler);
    sigaction(SIGUSR1, nullptr, &installed);
    plan.forged[0] = reinterpret_cast<std::uintptr_t>(installed.sa_restorer);
    plan.forged[1] = reinterpret_cast<std::uintptr_t>(&large_frame_with_frame_pointers);
    plan.forged[2] = reinterpret_cast<std::uintptr_t>(&large_frame_without_frame_pointers);
    plan.forged[3] = reinterpret_cast<std::uintptr_t>(&plan);
    // The main thread's stack goes on above __libc_stack_end, to the end of
    // its mapping.
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find("[stack]") != std::string::npos)
            main_stack_top = std::stoul(line.substr(line.find('-') + 1), nullptr, 16);
    ASSERT_NE(main_stack_top, 0u);
    // ThreadSanitizer makes each fork cost a good part of a second.
#if defined(__SANITIZE_THREAD__)
    const std::uint64_t seeds = 2;
#else
    const std::uint64_t seeds = 16;
#endif
    for (unsigned pattern = 0; pattern < 5; ++pattern) {
        for (std::uint64_t seed = 0; seed < seeds; ++seed) {
            plan.pattern = pattern;
            plan.seed = seed;
            with_frame_pointers = seed % 2 == 0;
            EXPECT_EQ(in_child([] { smash_here(main_stack_top); }), 0)
                << "main thread, pattern " << pattern << ", seed " << seed;
            EXPECT_EQ(in_child(smash_on_a_small_thread), 0)
                << "16 KiB thread, pattern " << pattern << ", seed " << seed;
        }
    }
}

TEST(walk_faults, a_signal_between_pop_and_ret_walks_on_to_the_caller) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer holds signals back until a call into its runtime, which the loop never makes";
#endif
    ct_spinning = ct_spin_done = 0;
    on_own_stack(SIGUSR1, capture_in_handler);
    const pthread_t self = pthread_self();
    std::thread signaller([self] {
        while (ct_spinning == 0) std::this_thread::yield();
        pthread_kill(self, SIGUSR1);
    });
    epilogue_caller();
    signaller.join();
    EXPECT_TRUE(handler_capture.returns_into("epilogue_caller")) << handler_capture.names();
}

struct kernel_action {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    std::uint64_t mask;
};

TEST(walk_faults, a_restorer_without_unwind_information_is_a_signal_frame) {
    constexpr unsigned long restorer_flag = 0x04000000; // SA_RESTORER
    const kernel_action action{&capture_in_handler, restorer_flag, &ct_bare_restorer, 0};
    ASSERT_EQ(syscall(SYS_rt_sigaction, SIGUSR2, &action, nullptr, sizeof action.mask), 0);
    raise_through_bare_restorer();
    signal(SIGUSR2, SIG_DFL);
    EXPECT_TRUE(handler_capture.returns_into("raise_through_bare_restorer")) << handler_capture.names();
}

// Rules are cached by address and object: the walk must agree with libgcc's
// through many libraries, and through one loaded where its twin was.
std::vector<const void*> gcc_frames;
_Unwind_Reason_Code record(_Unwind_Context* context, void*) {
    if (_Unwind_GetIP(context) == 0) return _URC_END_OF_STACK;
    gcc_frames.push_back(reinterpret_cast<const void*>(_Unwind_GetIP(context)));
    return _URC_NO_REASON;
}

extern "C" __attribute__((noinline)) std::size_t walk_both(void* out) {
    auto& ours = *static_cast<capture*>(out);
    ours.count = this_thread_frames::collect(ours.frames, 128, 0);
    gcc_frames.clear();
    _Unwind_Backtrace(&record, nullptr);
    __asm__ __volatile__("" ::: "memory");
    return 0;
}

void expect_agreement(const capture& ours, const std::string& where) {
    ASSERT_EQ(ours.count, gcc_frames.size() + 1) << where;
    for (std::size_t i = 2; i < ours.count; ++i) EXPECT_EQ(ours.frames[i], gcc_frames[i - 1]) << where << " " << i;
}

using hop_fn = std::size_t (*)(std::size_t (*)(void*), void*);
std::vector<hop_fn> hops;
std::size_t hop_index = 0;

extern "C" __attribute__((noinline)) std::size_t next_hop(void* out) {
    const std::size_t result = hop_index == hops.size() ? walk_both(out) : hops[hop_index++](&next_hop, out);
    __asm__ __volatile__("" ::: "memory");
    return result;
}

TEST(walk_faults, walks_agree_with_libgcc_through_many_libraries_and_reloaded_twins) {
    char directory[] = "/tmp/calltrail_walk_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    for (int i = 0; i < 48; ++i) {
        const std::string copy = std::string(directory) + "/hop" + std::to_string(i) + ".so";
        std::filesystem::copy_file(CALLTRAIL_TWIN_SAME_ID_A, copy);
        void* library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        hops.push_back(reinterpret_cast<hop_fn>(dlsym(library, "ct_twin_call")));
    }
    std::filesystem::remove_all(directory);
    for (int round = 0; round < 2; ++round) {
        capture ours;
        hop_index = 0;
        next_hop(&ours);
        expect_agreement(ours, "48 libraries, round " + std::to_string(round));
    }
    // Twins with one build-id and frames of different sizes, each loaded
    // where the other was, after its rules were cached.
    hops.clear();
    for (int round = 0; round < 4; ++round) {
        void* library = dlopen(round % 2 == 0 ? CALLTRAIL_TWIN_SAME_ID_A : CALLTRAIL_TWIN_SAME_ID_B, RTLD_NOW);
        ASSERT_NE(library, nullptr) << dlerror();
        hops.assign(1, reinterpret_cast<hop_fn>(dlsym(library, "ct_twin_call")));
        capture ours;
        hop_index = 0;
        next_hop(&ours);
        expect_agreement(ours, "twin, round " + std::to_string(round));
        dlclose(library);
    }
}

// Threads that each load the twins in turn under names of their own and
// walk through the one loaded, while the others unload and load theirs: a
// library lands where another thread's was, and every walk checks the
// objects it meets against those loaded at that moment.
struct twin_walk {
    capture ours;
    std::vector<const void*> gcc;
};

_Unwind_Reason_Code record_into(_Unwind_Context* context, void* frames) {
    if (_Unwind_GetIP(context) == 0) return _URC_END_OF_STACK;
    static_cast<std::vector<const void*>*>(frames)->push_back(reinterpret_cast<const void*>(_Unwind_GetIP(context)));
    return _URC_NO_REASON;
}

extern "C" __attribute__((noinline)) std::size_t walk_twin_both(void* argument) {
    auto& w = *static_cast<twin_walk*>(argument);
    w.ours.count = this_thread_frames::collect(w.ours.frames, 128, 0);
    _Unwind_Backtrace(&record_into, &w.gcc);
    __asm__ __volatile__("" ::: "memory");
    return 0;
}

bool walks_agree(const twin_walk& w) {
    if (w.ours.count != w.gcc.size() + 1) return false;
    for (std::size_t i = 2; i < w.ours.count; ++i)
        if (w.ours.frames[i] != w.gcc[i - 1]) return false;
    return true;
}

TEST(walk_faults, walks_agree_with_libgcc_while_other_threads_unload_and_reload_twins) {
    char directory[] = "/tmp/calltrail_walk_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
#if defined(__SANITIZE_THREAD__)
    const int rounds = 30;
#else
    const int rounds = 300;
#endif
    std::atomic<int> disagreements{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        std::string names[2];
        for (int twin = 0; twin < 2; ++twin) {
            names[twin] = std::string(directory) + "/twin" + std::to_string(t) + std::to_string(twin) + ".so";
            std::filesystem::copy_file(twin == 0 ? CALLTRAIL_TWIN_SAME_ID_A : CALLTRAIL_TWIN_SAME_ID_B, names[twin]);
        }
        threads.emplace_back([names, rounds, &disagreements] {
            for (int round = 0; round < rounds; ++round) {
                void* library = dlopen(names[round % 2].c_str(), RTLD_NOW | RTLD_LOCAL);
                if (library == nullptr) {
                    ++disagreements;
                    continue;
                }
                twin_walk w;
                reinterpret_cast<hop_fn>(dlsym(library, "ct_twin_call"))(&walk_twin_both, &w);
                if (!walks_agree(w)) ++disagreements;
                dlclose(library);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::filesystem::remove_all(directory);
    EXPECT_EQ(disagreements, 0) << "of " << 3 * rounds << " walks";
}

// The ordinary walk, first on its thread and later, in a thread that may
// make no system call at all and whose allocation and locks abort.
std::atomic<bool> sealed{false};

void seal_this_thread() {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit_group, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
    };
    sock_fprog filter{sizeof program / sizeof program[0], program};
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    sealed = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}

TEST(walk_faults, the_ordinary_walk_makes_no_system_call_allocation_or_lock) {
    EXPECT_EQ(in_child([] {
                  std::thread([] {
                      capture first, later;
                      seal_this_thread();
                      first.count = this_thread_frames::collect(first.frames, 128, 0);
                      later.count = this_thread_frames::collect(later.frames, 128, 0);
                      syscall(SYS_exit_group, sealed && first.count > 2 && later.count == first.count ? 0 : 4);
                  }).join();
              }),
              0);
}

} // namespace

// Armed only in the sealed thread's process: any allocation or lock aborts.
// Sanitizers bring allocators of their own.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(std::size_t);
__attribute__((visibility("default"))) void* malloc(std::size_t size) {
    if (sealed) std::abort();
    return __libc_malloc(size);
}
__attribute__((visibility("default"))) int pthread_mutex_lock(pthread_mutex_t* mutex) {
    if (sealed) std::abort();
    using lock_fn = int (*)(pthread_mutex_t*);
    static const auto real = reinterpret_cast<lock_fn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    return real(mutex);
}
}
#endif
