// Calls every operation of the library in a process that cannot open a
// network connection, start a process or write a file: a seccomp filter turns
// any such system call into SIGSYS, which ends the process with status 97.
// Every file the process opens is recorded on the way, and afterwards each
// must be a loaded object, this process's own /proc entries, or a debug file
// where debug files are kept beside an object or under /usr/lib/debug.
// Exits 0 when all of that held; prints the trace and the files it opened.
// With --try CALL it attempts one forbidden call instead.
//
// The first call of the library comes after the filter is in place, so that
// whatever the engine sets up on first use is covered too.
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Opened paths, kept without allocating: the interposers below run inside
// the library's calls and the C library's.
constexpr std::size_t most_paths = 4096;
constexpr std::size_t longest_path = 512;
char opened[most_paths][longest_path];
std::size_t opened_count = 0;
bool recording = false;

void record(const char* path) {
    if (!recording || path == nullptr || opened_count == most_paths) return;
    std::strncpy(opened[opened_count], path, longest_path - 1);
    opened[opened_count][longest_path - 1] = '\0';
    ++opened_count;
}

int open_path(int directory, const char* path, int flags, mode_t mode) {
    record(path);
    const long fd = syscall(SYS_openat, directory, path, flags, mode);
    return static_cast<int>(fd);
}

mode_t mode_argument(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

FILE* open_stream(const char* path, const char* mode) {
    int flags = 0;
    switch (mode[0]) {
    case 'r':
        flags = std::strchr(mode, '+') != nullptr ? O_RDWR : O_RDONLY;
        break;
    case 'w':
        flags = (std::strchr(mode, '+') != nullptr ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = (std::strchr(mode, '+') != nullptr ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    if (std::strchr(mode, 'e') != nullptr) flags |= O_CLOEXEC;
    const int fd = open_path(AT_FDCWD, path, flags, 0666);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) close(fd);
    return stream;
}

} // namespace

// Interposed for everything in the process, libraries included.
extern "C" {
__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return open_path(AT_FDCWD, path, flags, mode);
}
__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return open_path(AT_FDCWD, path, flags, mode);
}
__attribute__((visibility("default"))) int openat(int directory, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return open_path(directory, path, flags, mode);
}
__attribute__((visibility("default"))) int openat64(int directory, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return open_path(directory, path, flags, mode);
}
__attribute__((visibility("default"))) int __open_2(const char* path, int flags) {
    return open_path(AT_FDCWD, path, flags, 0);
}
__attribute__((visibility("default"))) int __open64_2(const char* path, int flags) {
    return open_path(AT_FDCWD, path, flags, 0);
}
__attribute__((visibility("default"))) int __openat_2(int directory, const char* path, int flags) {
    return open_path(directory, path, flags, 0);
}
__attribute__((visibility("default"))) FILE* fopen(const char* path, const char* mode) {
    return open_stream(path, mode);
}
__attribute__((visibility("default"))) FILE* fopen64(const char* path, const char* mode) {
    return open_stream(path, mode);
}
}

namespace {

// Raw system calls only: the call that was refused may hold a lock of the C
// library or of a sanitizer's runtime.
extern "C" void on_blocked_call(int, siginfo_t* info, void*) {
    char text[] = "blocked system call 0000\n";
    int number = info->si_syscall;
    for (int i = 23; i >= 20; --i, number /= 10) text[i] = static_cast<char>('0' + number % 10);
    syscall(SYS_write, STDERR_FILENO, text, sizeof text - 1);
    syscall(SYS_exit_group, 97);
}

constexpr unsigned writing_flags = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;

bool seal_process() {
    struct sigaction action {};
    action.sa_sigaction = &on_blocked_call;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGSYS, &action, nullptr) != 0) return false;

#define CT_LOAD(field) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, field))
#define CT_TRAP_IF(number)                                                                                             \
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (number), 0, 1), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP)
    // Each rule either returns or falls through to the next; the accumulator
    // is reloaded with the call's number after inspecting an argument.
    std::vector<sock_filter> program = {
        CT_LOAD(arch),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        CT_LOAD(nr),
        // x32 calls share the architecture: refuse them all.
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
    };
    for (const long number : {SYS_socket,   SYS_socketpair, SYS_connect,  SYS_bind,    SYS_listen,   SYS_accept,
                              SYS_accept4,  SYS_sendto,     SYS_sendmsg,  SYS_fork,    SYS_vfork,    SYS_execve,
                              SYS_execveat, SYS_creat,      SYS_truncate, SYS_unlink,  SYS_unlinkat, SYS_rename,
                              SYS_renameat, SYS_renameat2,  SYS_mkdir,    SYS_mkdirat, SYS_link,     SYS_linkat,
                              SYS_symlink,  SYS_symlinkat,  SYS_mknod,    SYS_mknodat, SYS_chmod,    SYS_fchmodat})
        program.insert(program.end(), {CT_TRAP_IF(static_cast<unsigned>(number))});
    // Arguments that a filter cannot read: make the C library fall back to
    // the calls it can.
    for (const long number : {SYS_clone3, SYS_openat2}) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS));
    }
    // clone makes a thread or a process; only threads may be made.
    program.insert(program.end(), {
                                      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3),
                                      CT_LOAD(args[0]),
                                      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 1, 0),
                                      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
                                      CT_LOAD(nr),
                                  });
    // open and openat for writing.
    for (const auto& rule : {std::make_pair(SYS_open, 1), std::make_pair(SYS_openat, 2)}) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(rule.first), 0, 4));
        program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(offsetof(struct seccomp_data, args) +
                                                                                sizeof(__u64) * rule.second)));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, writing_flags, 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP));
        program.push_back(CT_LOAD(nr));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
#undef CT_TRAP_IF
#undef CT_LOAD

    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}

std::size_t task_count() {
    std::size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            if (entry->d_name[0] != '.') ++count;
        closedir(tasks);
    }
    return count;
}

std::string directory_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Loaded objects as the process maps them, and as their real paths.
std::vector<std::string> loaded_objects() {
    std::vector<std::string> objects;
    FILE* maps = open_stream("/proc/self/maps", "re");
    if (maps == nullptr) return objects;
    char line[1024];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        const char* slash = std::strchr(line, '/');
        if (slash == nullptr) continue;
        std::string path(slash);
        if (!path.empty() && path.back() == '\n') path.pop_back();
        objects.push_back(path);
        char resolved[4096];
        if (realpath(path.c_str(), resolved) != nullptr) objects.emplace_back(resolved);
    }
    std::fclose(maps);
    return objects;
}

bool allowed_as_named(const std::string& path, const std::vector<std::string>& objects);

// A loaded object may be opened under any name that leads to it.
bool allowed(const std::string& path, const std::vector<std::string>& objects) {
    if (allowed_as_named(path, objects)) return true;
    char resolved[4096];
    return realpath(path.c_str(), resolved) != nullptr && allowed_as_named(resolved, objects);
}

bool allowed_as_named(const std::string& path, const std::vector<std::string>& objects) {
    const std::string own_proc = "/proc/" + std::to_string(getpid()) + "/";
    if (starts_with(path, "/proc/self/") || starts_with(path, own_proc)) return true;
    if (starts_with(path, "/usr/lib/debug/")) return true;
    for (const std::string& object : objects) {
        if (path == object) return true;
        // A debug file named by an object's debug link, beside it or in .debug.
        const std::string directory = directory_of(object);
        if (directory_of(path) == directory || directory_of(path) == directory + "/.debug") return true;
    }
    return false;
}

extern "C" __attribute__((noinline)) void sealed_work(std::string* out) {
    using korvo::calltrail::frame;
    const void* addresses[64];
    const std::size_t count = korvo::calltrail::detail::this_thread_frames::collect(addresses, 64, 0);
    std::vector<frame> frames;
    for (std::size_t i = 0; i < count; ++i) frames.emplace_back(addresses[i]);
    frames.emplace_back(reinterpret_cast<const char*>(&::write) + 1);
    frames.emplace_back(reinterpret_cast<const char*>(&::qsort) + 1);
    frames.emplace_back(reinterpret_cast<const void*>(std::uintptr_t{0x10}));

    std::string text = korvo::calltrail::detail::to_string(frames.data(), frames.size());
    for (const frame& f : frames) {
        text += korvo::calltrail::to_string(f) + "|" + f.name() + "|" + f.source_file() + "|" +
                std::to_string(f.source_line()) + "\n";
    }
    // Nothing may come of naming a destination.
    korvo::calltrail::detail::dump(CALLTRAIL_DUMP_PROBE, addresses, count);
    korvo::calltrail::detail::dump(static_cast<void*>(stderr), addresses, count);
    __asm__ __volatile__("" ::: "memory");
    *out = text;
}

} // namespace

// Shows that the filter bites: each of these must end the process with 97.
int try_forbidden(const char* what) {
    if (std::strcmp(what, "socket") == 0) syscall(SYS_socket, AF_INET, SOCK_STREAM, 0);
    if (std::strcmp(what, "write-file") == 0) open(CALLTRAIL_DUMP_PROBE, O_WRONLY | O_CREAT, 0600);
    if (std::strcmp(what, "fork") == 0) fork();
    if (std::strcmp(what, "exec") == 0) execl("/bin/true", "true", static_cast<char*>(nullptr));
    std::printf("%s was allowed\n", what);
    return 1;
}

int main(int argc, char** argv) {
    const std::size_t tasks_before = task_count();
    if (!seal_process()) {
        std::fprintf(stderr, "cannot install the seccomp filter: %s\n", std::strerror(errno));
        return 2;
    }
    if (argc > 2 && std::strcmp(argv[1], "--try") == 0) return try_forbidden(argv[2]);

    recording = true;
    std::string text;
    sealed_work(&text);
    recording = false;

    std::fwrite(text.data(), 1, text.size(), stdout);
    int status = 0;
    if (text.find("sealed_work") == std::string::npos) {
        std::printf("the trace does not name sealed_work\n");
        status = 1;
    }
    if (task_count() != tasks_before) {
        std::printf("threads before and after the calls: %zu, %zu\n", tasks_before, task_count());
        status = 1;
    }
    struct stat probe;
    if (stat(CALLTRAIL_DUMP_PROBE, &probe) == 0) {
        std::printf("dump wrote %s\n", CALLTRAIL_DUMP_PROBE);
        status = 1;
    }
    const std::vector<std::string> objects = loaded_objects();
    for (std::size_t i = 0; i < opened_count; ++i) {
        const bool ok = allowed(opened[i], objects);
        std::printf("%s %s\n", ok ? "opened" : "opened outside the loaded objects:", opened[i]);
        if (!ok) status = 1;
    }
    std::printf("%zu files opened\n", opened_count);
    std::fflush(stdout);
    // Straight out: no exit handler runs in the sealed process.
    _exit(status);
}
