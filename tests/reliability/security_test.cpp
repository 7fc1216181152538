// What a library call may do to the system: no network, no process, no file
// written, and no file read outside the loaded objects and the local debug
// directories, whatever the environment says. The calls run in a sealed
// program of their own (sealed_calls.cpp); this test starts it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "reliability/support/child_process.hpp"

extern char** environ;

namespace {

// The sanitizers' settings pass through; nothing else of ours does.
std::vector<std::string> base_environment() {
    std::vector<std::string> environment = {"PATH=/usr/bin:/bin"};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strstr(*e, "SAN_OPTIONS=") != nullptr) environment.emplace_back(*e);
    return environment;
}

std::vector<std::string> entries_of(const std::string& directory) {
    std::vector<std::string> entries;
    if (DIR* d = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(d))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                entries.emplace_back(entry->d_name);
        closedir(d);
    }
    return entries;
}

class scratch_directory {
public:
    scratch_directory() {
        char pattern[] = "/tmp/calltrail-sealed-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made != nullptr) path_ = made;
    }
    ~scratch_directory() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    scratch_directory(const scratch_directory&) = delete;
    scratch_directory& operator=(const scratch_directory&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

calltrail_test::child_result run_sealed(const std::vector<std::string>& arguments,
                                        const std::vector<std::string>& environment) {
    std::vector<std::string> command = {CALLTRAIL_SEALED_CALLS};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return calltrail_test::run_program(command, environment);
}

TEST(security, the_filter_stops_each_forbidden_call) {
    for (const char* call : {"socket", "write-file", "fork", "exec"}) {
        const calltrail_test::child_result child = run_sealed({"--try", call}, base_environment());
        EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 97)
            << call << ": " << calltrail_test::describe_status(child) << "\n"
            << child.output;
    }
    struct stat probe;
    EXPECT_NE(stat(CALLTRAIL_DUMP_PROBE, &probe), 0) << "the refused open still made the file";
}

TEST(security, every_operation_runs_without_network_processes_or_written_files) {
    const calltrail_test::child_result child = run_sealed({}, base_environment());
    EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0)
        << calltrail_test::describe_status(child) << "\n"
        << child.output;
    EXPECT_NE(child.output.find("sealed_work"), std::string::npos) << child.output;
}

TEST(security, no_variable_leads_the_engine_to_the_network_or_to_other_files) {
    const scratch_directory scratch;
    ASSERT_FALSE(scratch.path().empty());
    const std::string root = scratch.path();
    ASSERT_EQ(mkdir((root + "/home").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "/debug").c_str(), 0700), 0);

    std::vector<std::string> environment = base_environment();
    const std::vector<std::string> hostile = {
        // Debug information servers and their caches.
        "DEBUGINFOD_URLS=http://127.0.0.1:9/ https://debuginfod.invalid/",
        "DEBUGINFOD_CACHE_PATH=" + root + "/debuginfod-cache", "DEBUGINFOD_VERBOSE=1", "DEBUGINFOD_PROGRESS=1",
        "DEBUGINFOD_TIMEOUT=1", "XDG_CACHE_HOME=" + root + "/cache", "HOME=" + root + "/home",
        // The Debug Engine's symbol and source paths and its log.
        "_NT_SYMBOL_PATH=srv*" + root + "/symbols*http://127.0.0.1:9/symbols", "_NT_ALT_SYMBOL_PATH=" + root + "/debug",
        "_NT_SOURCE_PATH=" + root, "DBGHELP_LOG=" + root + "/dbghelp.log",
        // Places a debugger would look, and the loader's own switches.
        "DEBUG_FILE_DIRECTORY=" + root + "/debug", "TMPDIR=" + root, "LD_DEBUG=files", "LD_LIBRARY_PATH=" + root,
        "MALLOC_CHECK_=3"};
    environment.insert(environment.end(), hostile.begin(), hostile.end());

    const calltrail_test::child_result child = run_sealed({}, environment);
    EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0)
        << calltrail_test::describe_status(child) << "\n"
        << child.output;
    EXPECT_NE(child.output.find("sealed_work"), std::string::npos) << child.output;
    EXPECT_EQ(child.output.find("opened " + root), std::string::npos) << child.output;
    EXPECT_EQ(child.output.find("opened outside"), std::string::npos) << child.output;
    // Nothing appeared where the variables pointed.
    const std::vector<std::string> expected = {"debug", "home"};
    std::vector<std::string> entries = entries_of(root);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, expected);
    EXPECT_TRUE(entries_of(root + "/home").empty());
    EXPECT_TRUE(entries_of(root + "/debug").empty());
}

} // namespace
