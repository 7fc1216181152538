// fork() while other threads render: whatever those threads held at that
// moment, the child must capture, render and exit. The parent bounds each
// child, so that one waiting for ever on a lock of a thread it does not have
// is reported instead of hanging the suite.
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "reliability/support/child_process.hpp"
#include "reliability/support/sample_addresses.hpp"

using korvo::calltrail::frame;

namespace {

// GCC 12's AddressSanitizer keeps no lock of its allocator across fork(), so
// that a child can wait for ever on one that another thread held. There the
// children are made from a process without renderers: their own work is still
// checked, the moment of the fork is not.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool renderers_at_fork = false;
#else
constexpr bool renderers_at_fork = true;
#endif

// Functions of the C library from many of its units: while the renderers
// move through them, indexes are being built, under their locks, whenever a
// fork comes.
std::vector<frame> c_library_frames() {
    const void* const functions[] = {
        reinterpret_cast<const void*>(&::write),   reinterpret_cast<const void*>(&::qsort),
        reinterpret_cast<const void*>(&::strtol),  reinterpret_cast<const void*>(&::fopen),
        reinterpret_cast<const void*>(&::fclose),  reinterpret_cast<const void*>(&::getenv),
        reinterpret_cast<const void*>(&::setenv),  reinterpret_cast<const void*>(&::realpath),
        reinterpret_cast<const void*>(&::mktime),  reinterpret_cast<const void*>(&::strftime),
        reinterpret_cast<const void*>(&::bsearch), reinterpret_cast<const void*>(&::strerror),
        reinterpret_cast<const void*>(&::perror),  reinterpret_cast<const void*>(&::fflush),
        reinterpret_cast<const void*>(&::rewind),  reinterpret_cast<const void*>(&::tmpfile),
    };
    std::vector<frame> frames;
    for (const void* function : functions)
        frames.emplace_back(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(function) + 4));
    return frames;
}

class renderers {
public:
    explicit renderers(const std::vector<frame>& library_frames) {
        const std::vector<frame> trace = calltrail_test::captured_stack(6);
        for (std::size_t t = 0; t < 3; ++t)
            threads_.emplace_back([this, t, trace, library_frames] {
                for (std::size_t round = t; !stop_.load(std::memory_order_relaxed); round += 7) {
                    korvo::calltrail::to_string(library_frames[round % library_frames.size()]);
                    korvo::calltrail::detail::to_string(trace.data(), trace.size());
                }
            });
    }
    ~renderers() {
        stop_.store(true);
        for (std::thread& thread : threads_) thread.join();
    }
    renderers(const renderers&) = delete;
    renderers& operator=(const renderers&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

void write_all(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

TEST(fork, every_child_of_a_process_whose_threads_render_captures_renders_and_exits) {
    const std::vector<frame> library_frames = c_library_frames();
    std::vector<std::string> expected;
    for (const frame& f : library_frames) expected.push_back(korvo::calltrail::to_string(f));

    std::unique_ptr<renderers> busy;
    if (renderers_at_fork) busy = std::make_unique<renderers>(library_frames);
    for (std::size_t child = 0; child < 20; ++child) {
        const std::size_t which = child % library_frames.size();
        const calltrail_test::child_result result = calltrail_test::run_in_child(
            [&] {
                const std::vector<frame> trace = calltrail_test::captured_stack(3);
                write_all(korvo::calltrail::detail::to_string(trace.data(), trace.size()));
                write_all("library: " + korvo::calltrail::to_string(library_frames[which]) + "\n");
            },
            std::chrono::seconds(60));
        SCOPED_TRACE("child " + std::to_string(child) + "\n" + result.output);
        EXPECT_EQ(calltrail_test::describe_status(result), "exited with 0");
        EXPECT_EQ(result.output.find(calltrail_test::position_prefix(0)), 0u);
        EXPECT_NE(result.output.find("calltrail_sample_descend"), std::string::npos);
        EXPECT_NE(result.output.find("library: " + expected[which] + "\n"), std::string::npos);
    }
}

} // namespace

// A thread that loads and unloads a library holds the loader's lock for a
// moment again and again: a child forked in such a moment has that lock held
// by a thread it does not have. Its first trace must not wait for it.
TEST(fork, a_child_forked_while_another_thread_loads_libraries_still_traces) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' runtimes keep locks of their own in dlopen and malloc, lost at such a fork";
#endif
    std::atomic<bool> stop{false};
    std::thread loader([&stop] {
        while (!stop.load(std::memory_order_relaxed))
            if (void* library = dlopen(CALLTRAIL_UNLOADABLE_LIBRARY, RTLD_NOW | RTLD_LOCAL)) dlclose(library);
    });
    int hung = 0;
    for (int child = 0; child < 100; ++child) {
        const calltrail_test::child_result result = calltrail_test::run_in_child(
            [] {
                const std::vector<frame> trace = calltrail_test::captured_stack(3);
                write_all(korvo::calltrail::detail::to_string(trace.data(), trace.size()));
            },
            std::chrono::seconds(20));
        hung += result.timed_out ? 1 : 0;
        if (!result.timed_out) {
            SCOPED_TRACE("child " + std::to_string(child) + "\n" + result.output);
            EXPECT_EQ(calltrail_test::describe_status(result), "exited with 0");
            EXPECT_NE(result.output.find("calltrail_sample_descend"), std::string::npos);
        }
    }
    stop.store(true);
    loader.join();
    EXPECT_EQ(hung, 0) << "children that waited for ever";
}
