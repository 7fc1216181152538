#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_OUT_OF_PROCESS_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_OUT_OF_PROCESS_HPP

// The rendered part made by another program (calltrail-symbolize), started
// from the signal handler, which reads the raw part as the report wrote it.
// Nothing of the dying process is needed on the way: no allocation, no lock,
// no fork handler. The child is made by clone with CLONE_VM | CLONE_VFORK,
// as posix_spawn makes its own, on a stack set aside at install: it shares
// the parent's memory only until its execve, and makes nothing but system
// calls before it. Nothing runs for it until a crash: no helper process
// waits through every run of the program. Linux only; part of
// crash_handler.hpp.

#if defined(__linux__)

#include <korvo/calltrail/detail/crash_text.hpp>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#if defined(__GLIBC__)
// glibc's clone under a name no interposer takes: ThreadSanitizer's clone
// treats every clone as a fork, takes its own locks before it and resets
// its state in the child, which here is the parent's memory.
extern "C" int __clone(int (*)(void*), void*, int, void*, ...);
#define KORVO_CALLTRAIL_CLONE ::__clone
#else
#define KORVO_CALLTRAIL_CLONE ::clone
#endif

namespace korvo {
namespace calltrail {
namespace crash_detail {

// Set up at install, when rendering out of process is asked for.
struct renderer_state {
    std::atomic<bool> enabled;
    std::atomic<int> child; // the program's process while it runs, else 0
    char program[PATH_MAX];
    char* argv[2];
    // One mapping: a guard page, the child's stack, the copy of the raw part.
    char* mapping;
    char* stack_top;
    char* copy;
};

const std::size_t renderer_stack_size = std::size_t{16} * 1024;
const std::size_t raw_copy_size = std::size_t{128} * 1024;

inline renderer_state& renderer() {
    static renderer_state shared;
    return shared;
}

// The report is copied from its first line on, for the program's input.
inline void start_raw_copy() {
    report_destination& d = destination();
    d.copied = 0;
    d.copy_capacity = raw_copy_size;
    d.copy = renderer().enabled.load() ? renderer().copy : nullptr;
}

// A name without a slash is looked for in PATH now, so that the crash needs
// no search; a relative path is taken from the current directory now. What
// is not found is kept as given: the report then says it was not there.
inline void find_program(const char* name, char* path, std::size_t size) {
    path[0] = '\0';
    const std::size_t length = std::strlen(name);
    if (std::strchr(name, '/') != nullptr) {
        if (name[0] != '/' && ::getcwd(path, size) != nullptr && std::strlen(path) + 1 + length < size) {
            std::strcat(path, "/");
            std::strcat(path, name);
        } else if (length < size) {
            std::strcpy(path, name);
        }
        return;
    }
    const char* search = ::secure_getenv("PATH");
    if (search == nullptr) search = "/usr/local/bin:/usr/bin:/bin";
    for (const char* at = search; length < size;) {
        const char* end = std::strchr(at, ':');
        const std::size_t directory = end != nullptr ? static_cast<std::size_t>(end - at) : std::strlen(at);
        if (directory > 0 && directory + 1 + length < size) {
            std::memcpy(path, at, directory);
            path[directory] = '/';
            std::memcpy(path + directory + 1, name, length + 1);
            struct stat found;
            if (::stat(path, &found) == 0 && S_ISREG(found.st_mode) && ::access(path, X_OK) == 0) return;
        }
        if (end == nullptr) break;
        at = end + 1;
    }
    if (length < size) std::memcpy(path, name, length + 1);
}

// Resolves every call the crash will make, so that none goes through the
// loader's lazy binding in a dying process or in the child.
inline void bind_renderer_calls() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
        const int moved = ::fcntl(ends[0], F_DUPFD_CLOEXEC, 3);
        if (moved >= 0) ::close(moved);
        ::close(ends[0]);
        ::close(ends[1]);
    }
    sigset_t all;
    sigfillset(&all);
    ::poll(nullptr, 0, 0);
    (void)!::send(-1, nullptr, 0, MSG_NOSIGNAL);
    (void)!::recv(-1, nullptr, 0, MSG_DONTWAIT);
    ::shutdown(-1, SHUT_WR);
    siginfo_t info;
    ::waitid(P_PID, static_cast<id_t>(::getpid()), &info, WEXITED | WNOHANG | WNOWAIT | __WALL);
    ::kill(::getpid(), 0);
    ::syscall(SYS_getpid);
    KORVO_CALLTRAIL_CLONE(nullptr, nullptr, 0, nullptr); // refused before any system call
}

// At install: whether out of process, and with which program.
inline bool prepare_renderer(bool wanted, const char* program) {
    renderer_state& r = renderer();
    if (!wanted || program == nullptr || program[0] == '\0') {
        r.enabled.store(false);
        return true;
    }
    if (r.mapping == nullptr) {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        void* mapping = ::mmap(nullptr, page + renderer_stack_size + raw_copy_size, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) return false;
        if (::mprotect(mapping, page, PROT_NONE) != 0) {
            ::munmap(mapping, page + renderer_stack_size + raw_copy_size);
            return false;
        }
        r.mapping = static_cast<char*>(mapping);
        r.stack_top = r.mapping + page + renderer_stack_size;
        r.copy = r.stack_top;
    }
    find_program(program, r.program, sizeof r.program);
    r.argv[0] = r.program;
    r.argv[1] = nullptr;
    bind_renderer_calls();
    r.enabled.store(true);
    return true;
}

struct child_start {
    const char* program;
    char* const* argv;
    char* const* environment;
    int channel; // standard input and output; above 2
    int error;   // why execve failed, set by the child
};

// The child, in the parent's memory until execve: system calls only, none
// through a function an interposer could take. Every signal is blocked (the
// parent's handlers are still in place here); the program unblocks them.
__attribute__((no_sanitize("address", "thread"))) inline int renderer_child(void* argument) {
    child_start* start = static_cast<child_start*>(argument);
    if (::syscall(SYS_dup3, start->channel, 0, 0) < 0 || ::syscall(SYS_dup3, start->channel, 1, 0) < 0) {
        start->error = errno;
        return 127;
    }
    // Standard error as the process had it, or nothing at all.
    if (::syscall(SYS_fcntl, 2, F_GETFD) < 0) ::syscall(SYS_openat, AT_FDCWD, "/dev/null", O_WRONLY);
#if defined(SYS_close_range)
    ::syscall(SYS_close_range, 3u, ~0u, 0u); // the application's own sockets and files stay its own
#endif
    ::syscall(SYS_execve, start->program, start->argv, start->environment);
    start->error = errno;
    return 127;
}

// A descriptor at 3 or above, where the child's standard ones are not.
inline int above_standard(int descriptor) {
    if (descriptor < 0 || descriptor > 2) return descriptor;
    const int moved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    ::close(descriptor);
    return moved;
}

struct renderer_outcome {
    bool started;
    int error;         // why it could not start
    bool status_known; // not when another thread reaped it, or SIGCHLD is ignored
    bool exited;       // otherwise killed by a signal
    int status;        // exit status or signal
    bool printed;      // anything at all
    bool too_large;    // the raw part did not fit its copy
};

// Whether the child has ended. Its status is read and the child left
// unreaped, so that its process id stays its own while the watchdog may
// kill it. After execve it is an ordinary child, which a waitpid(-1) of
// another thread may take.
inline bool child_ended(int child, bool wait, renderer_outcome& outcome) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    for (;;) {
        const int options = WEXITED | WNOWAIT | __WALL | (wait ? 0 : WNOHANG);
        if (::waitid(P_PID, static_cast<id_t>(child), &info, options) == 0) break;
        if (errno != EINTR) return true; // gone already
    }
    if (info.si_pid == 0) return false;
    outcome.status_known = true;
    outcome.exited = info.si_code == CLD_EXITED;
    outcome.status = info.si_status;
    return true;
}

// Hands the raw part to the program and what it prints to the report,
// until it ends. Its end of the socket may live on in a process another
// thread forked meanwhile, so the child's exit ends the exchange too.
inline void exchange(int channel, int child, bool titled, renderer_outcome& outcome) {
    const char* pending = renderer().copy;
    std::size_t left = destination().copied;
    bool sending = true;
    bool ended = false;
    char buffer[4096];
    for (;;) {
        if (sending && left == 0) {
            ::shutdown(channel, SHUT_WR);
            sending = false;
        }
        pollfd ready = {channel, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        const int events = ::poll(&ready, 1, ended ? 0 : 50);
        if (events < 0 && errno != EINTR) break;
        if (events == 0) {
            if (ended) break; // what it wrote is all read
            ended = child_ended(child, false, outcome);
            continue;
        }
        if (events < 0) continue;
        if (sending && (ready.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t sent = ::send(channel, pending, left, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                pending += sent;
                left -= static_cast<std::size_t>(sent);
            } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
                sending = false; // it stopped reading; what it prints still counts
            }
        }
        if ((ready.revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
        const ssize_t got = ::recv(channel, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
        if (got < 0) continue;
        if (!outcome.printed && !titled) crash_line().text("trace:").end();
        outcome.printed = true;
        write_out(buffer, static_cast<std::size_t>(got));
    }
    if (!ended) child_ended(child, true, outcome);
}

// The rendered part by the program; titled when the program writes the
// sections' titles itself, as it does for more than one.
inline renderer_outcome render_out_of_process(bool titled) {
    renderer_state& r = renderer();
    renderer_outcome outcome = {false, 0, false, false, 0, false, false};
    report_destination& d = destination();
    d.copy = nullptr;
    if (d.copied > raw_copy_size) {
        outcome.too_large = true;
        return outcome;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        outcome.error = errno;
        return outcome;
    }
    const int channel = above_standard(ends[0]);
    const int theirs = above_standard(ends[1]);
    if (channel < 0 || theirs < 0) {
        outcome.error = errno;
        if (channel >= 0) ::close(channel);
        if (theirs >= 0) ::close(theirs);
        return outcome;
    }
    child_start start = {r.program, r.argv, environ, theirs, 0};
    sigset_t blocked;
    sigset_t before;
    sigfillset(&blocked);
    ::pthread_sigmask(SIG_SETMASK, &blocked, &before);
    const int child = KORVO_CALLTRAIL_CLONE(&renderer_child, r.stack_top, CLONE_VM | CLONE_VFORK, &start);
    const int clone_error = errno;
    // The application's SIGCHLD handler, if any, runs on another thread.
    blocked = before;
    sigaddset(&blocked, SIGCHLD);
    ::pthread_sigmask(SIG_SETMASK, &blocked, nullptr);
    ::close(theirs);
    if (child <= 0 || start.error != 0) {
        outcome.error = child <= 0 ? clone_error : start.error;
        if (child > 0) child_ended(child, true, outcome);
        ::close(channel);
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return outcome;
    }
    outcome.started = true;
    r.child.store(child);
    exchange(channel, child, titled, outcome);
    r.child.store(0);
    ::close(channel);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    siginfo_t reaped;
    ::waitid(P_PID, static_cast<id_t>(child), &reaped, WEXITED | WNOHANG | __WALL);
    return outcome;
}

// Ends the program when the report is abandoned: it must not outlive it.
inline void stop_renderer() {
    const int child = renderer().child.exchange(0);
    if (child > 0) ::kill(child, SIGKILL);
}

inline const char* start_error_text(int error) {
    switch (error) {
    case ENOENT:
        return "no such file";
    case EACCES:
        return "permission denied";
    case ENOEXEC:
        return "not a program this system runs";
    case EAGAIN:
    case ENOMEM:
        return "no process could be made";
    case EMFILE:
    case ENFILE:
        return "no descriptor left";
    default:
        return nullptr;
    }
}

// True when the program rendered the trace; otherwise the report says why
// not in one line, and the caller renders it in the process.
inline bool rendered_out_of_process(bool titled) {
    if (!renderer().enabled.load()) return false;
    const renderer_outcome outcome = render_out_of_process(titled);
    if (outcome.started && outcome.printed && (!outcome.status_known || (outcome.exited && outcome.status == 0)))
        return true;
    crash_line line;
    line.text("(").escaped(renderer().program, false);
    if (outcome.too_large) {
        line.text(" was not started: the raw part is longer than ").number(raw_copy_size / 1024).text(" KiB");
    } else if (!outcome.started) {
        line.text(" could not be started: ");
        if (const char* text = start_error_text(outcome.error))
            line.text(text);
        else
            line.text("error ").number(static_cast<std::uint64_t>(outcome.error));
    } else if (!outcome.exited) {
        line.text(" failed: killed by signal ").number(static_cast<std::uint64_t>(outcome.status));
    } else if (outcome.status != 0) {
        line.text(" failed: exit status ").number(static_cast<std::uint64_t>(outcome.status));
    } else {
        line.text(" printed nothing");
    }
    line.text("; the trace is rendered in the process)").end();
    return false;
}

} // namespace crash_detail
} // namespace calltrail
} // namespace korvo

#undef KORVO_CALLTRAIL_CLONE

#endif // __linux__

#endif
