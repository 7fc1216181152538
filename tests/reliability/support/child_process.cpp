#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace calltrail_test {
namespace {

template <class Start> child_result run(Start start, std::chrono::seconds timeout) {
    child_result result;
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
        result.output = "pipe failed";
        result.status = -1;
        return result;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipe_ends[1], STDOUT_FILENO);
        ::dup2(pipe_ends[1], STDERR_FILENO);
        start();
        ::_exit(0);
    }
    ::close(pipe_ends[1]);
    if (child < 0) {
        ::close(pipe_ends[0]);
        result.output = "fork failed";
        result.status = -1;
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            ::kill(child, SIGKILL);
            break;
        }
        pollfd p{pipe_ends[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t n = ::read(pipe_ends[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_ends[0]);
    while (::waitpid(child, &result.status, 0) < 0 && errno == EINTR) {}
    return result;
}

} // namespace

child_result run_in_child(const std::function<void()>& body, std::chrono::seconds timeout) {
    return run([&] { body(); }, timeout);
}

child_result run_program(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                         std::chrono::seconds timeout) {
    // Built before forking: the child only calls execve.
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    return run(
        [&] {
            ::execve(argv[0], argv.data(), envp.data());
            const char failed[] = "execve failed\n";
            (void)!::write(STDERR_FILENO, failed, sizeof failed - 1);
            ::_exit(127);
        },
        timeout);
}

std::string describe_status(const child_result& result) {
    if (result.timed_out) return "timed out";
    if (WIFEXITED(result.status)) return "exited with " + std::to_string(WEXITSTATUS(result.status));
    if (WIFSIGNALED(result.status))
        return "killed by signal " + std::to_string(WTERMSIG(result.status)) + " (" +
               strsignal(WTERMSIG(result.status)) + ")";
    return "status " + std::to_string(result.status);
}

} // namespace calltrail_test
