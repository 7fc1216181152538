// Peak stack use of each path a signal handler may take: the path runs in a
// SIGUSR1 handler on a painted alternate stack, and the bytes no longer
// holding the paint are what it touched, the kernel's signal frame included.
// Each path runs in a fresh child process, on a fresh thread; "later" paths
// run once before, in the same handler.
#include <korvo/calltrail/calltrail.hpp>
#include <korvo/calltrail/crash_handler.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using korvo::calltrail::detail::this_thread_frames;

enum class path { signal_frame, capture, render, crash_report, crash_report_out_of_process };

path measured = path::signal_frame;
const void* addresses[64];
std::size_t count = 0;

__attribute__((noinline)) void capture() { count = this_thread_frames::collect(addresses, 64, 0); }

__attribute__((noinline)) void render() {
    korvo::calltrail::frame frames[64];
    for (std::size_t i = 0; i < count; ++i) frames[i] = korvo::calltrail::frame(addresses[i]);
    const std::string text = korvo::calltrail::detail::to_string(frames, count);
    if (text.empty()) std::fputs("empty trace\n", stderr);
}

siginfo_t* signal_info = nullptr;
void* signal_context = nullptr;

// What on_fatal_signal writes, without ending the process: the walks, the
// raw part with its modules, the rendered part.
__attribute__((noinline)) void crash_report() {
    korvo::calltrail::crash_detail::write_signal_report(SIGUSR1, signal_info, signal_context);
}

// The same with the rendered part made by calltrail-symbolize, whose own
// stack until its execve is the handler's mapping, not this one.
__attribute__((noinline)) void crash_report_out_of_process() {
    korvo::calltrail::crash_detail::start_raw_copy();
    korvo::calltrail::crash_detail::write_signal_report(SIGUSR1, signal_info, signal_context);
}

// Each path in a function of its own, so that none pays for another's frame.
void run(path p) {
    switch (p) {
    case path::signal_frame:
        break;
    case path::capture:
        capture();
        break;
    case path::render:
        render();
        break;
    case path::crash_report:
        crash_report();
        break;
    case path::crash_report_out_of_process:
        crash_report_out_of_process();
        break;
    }
}

extern "C" void on_signal(int, siginfo_t* info, void* context) {
    signal_info = info;
    signal_context = context;
    run(measured);
}

constexpr std::size_t stack_size = 1 << 20;
constexpr unsigned char paint = 0xa5;

std::size_t touched_by(path p, bool warm) {
    std::vector<unsigned char> stack(stack_size);
    stack_t alternate{};
    alternate.ss_sp = stack.data();
    alternate.ss_size = stack.size();
    sigaltstack(&alternate, nullptr);
    struct sigaction action {};
    action.sa_sigaction = &on_signal;
    action.sa_flags = SA_ONSTACK | SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
    if (p == path::render) capture(); // the frames to turn into text
    if (p == path::crash_report_out_of_process)
        korvo::calltrail::crash_detail::prepare_renderer(true, CALLTRAIL_SYMBOLIZE);
    measured = p;
    // Later paths: the same signal once before, unmeasured.
    for (int round = warm ? 0 : 1; round < 2; ++round) {
        std::memset(stack.data(), paint, stack.size());
        raise(SIGUSR1);
    }
    std::size_t untouched = 0;
    while (untouched < stack.size() && stack[untouched] == paint) ++untouched;
    return stack.size() - untouched;
}

// In a fresh process and on a fresh thread, so that "first" is first.
long measure(path p, bool warm) {
    int result[2];
    if (pipe(result) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDERR_FILENO);
        std::size_t used = 0;
        std::thread fresh([&] { used = touched_by(p, warm); });
        fresh.join();
        if (write(result[1], &used, sizeof used) != sizeof used) _exit(1);
        _exit(0);
    }
    close(result[1]);
    std::size_t used = 0;
    const bool got = read(result[0], &used, sizeof used) == sizeof used;
    close(result[0]);
    waitpid(child, nullptr, 0);
    return got ? static_cast<long>(used) : -1;
}

} // namespace

int main() {
    struct row {
        const char* what;
        path p;
        bool warm;
    };
    const row rows[] = {
        {"signal frame alone", path::signal_frame, false},
        {"collect, first in the process", path::capture, false},
        {"collect, later", path::capture, true},
        {"to_string of 64 frames, first in the process", path::render, false},
        {"to_string of 64 frames, later", path::render, true},
        {"crash report (raw and rendered), first in the process", path::crash_report, false},
        {"crash report (raw and rendered), later", path::crash_report, true},
        {"crash report rendered out of process, first", path::crash_report_out_of_process, false},
        {"crash report rendered out of process, later", path::crash_report_out_of_process, true},
    };
    const long frame = measure(path::signal_frame, false);
    std::printf("%-56s %8s %13s\n", "path in a SIGUSR1 handler", "bytes", "beyond frame");
    for (const row& r : rows) {
        const long used = measure(r.p, r.warm);
        std::printf("%-56s %8ld %13ld\n", r.what, used, used - frame);
    }
    return 0;
}
