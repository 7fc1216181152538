#ifndef CALLTRAIL_TESTS_RELIABILITY_CHILD_PROCESS_HPP
#define CALLTRAIL_TESTS_RELIABILITY_CHILD_PROCESS_HPP

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace calltrail_test {

struct child_result {
    std::string output; // standard output and error, interleaved
    int status = 0;     // as waitpid reports it
    bool timed_out = false;
};

// Runs body in a forked child whose standard output and error go to the
// parent; the child ends with _exit(0) if body returns. A child still running
// after the timeout is killed and reported as timed out.
child_result run_in_child(const std::function<void()>& body, std::chrono::seconds timeout = std::chrono::seconds(120));

// Runs a program with exactly the arguments and environment given.
child_result run_program(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                         std::chrono::seconds timeout = std::chrono::seconds(120));

// "exited with 0", "killed by signal 11 (Segmentation fault)", ...
std::string describe_status(const child_result& result);

} // namespace calltrail_test

#endif
