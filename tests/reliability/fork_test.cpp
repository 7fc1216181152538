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
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reliability/support/child_process.hpp"
#include "reliability/support/sample_addresses.hpp"

using korvo::calltrail::frame;

namespace {

// GCC 12's AddressSanitizer does not hold its allocator's locks across fork(),
// so that a child can wait for ever on one that a renderer held. There the
// renderers stand still while a child is made: the child's own work is still
// checked, the moment of the fork is not.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool quiet_at_fork = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool quiet_at_fork = true;
#else
constexpr bool quiet_at_fork = false;
#endif
#else
constexpr bool quiet_at_fork = false;
#endif

frame inside(const void* function) {
    return frame(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(function) + 4));
}

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
    for (const void* function : functions) frames.push_back(inside(function));
    return frames;
}

class renderers {
public:
    explicit renderers(const std::vector<frame>& library_frames) {
        const std::vector<frame> trace = calltrail_test::captured_stack(6);
        for (int t = 0; t < 3; ++t)
            threads_.emplace_back([this, t, trace, library_frames] {
                started();
                for (std::size_t round = 0; !stop_.load(std::memory_order_relaxed); ++round) {
                    const round_guard in_round(*this);
                    const frame& f = library_frames[(round * 7 + static_cast<std::size_t>(t)) % library_frames.size()];
                    rendered_ += korvo::calltrail::to_string(f).size();
                    rendered_ += korvo::calltrail::detail::to_string(trace.data(), trace.size()).size();
                }
            });
    }
    ~renderers() {
        stop_.store(true);
        for (std::thread& thread : threads_) thread.join();
    }
    renderers(const renderers&) = delete;
    renderers& operator=(const renderers&) = delete;

    // Where the renderers must stand still while a child is made: from hold()
    // on no round runs, until release().
    void hold() {
        if (!quiet_at_fork) return;
        std::unique_lock<std::mutex> lock(mutex_);
        held_ = true;
        // A thread still starting is inside the sanitizer's runtime.
        changed_.wait(lock, [this] { return rounds_ == 0 && started_ == threads_.size(); });
    }
    void release() {
        if (!quiet_at_fork) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }

private:
    void started() {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++started_;
        changed_.notify_all();
    }

    class round_guard {
    public:
        explicit round_guard(renderers& owner) : owner_(owner) {
            if (!quiet_at_fork) return;
            std::unique_lock<std::mutex> lock(owner_.mutex_);
            owner_.changed_.wait(lock, [this] { return !owner_.held_; });
            ++owner_.rounds_;
        }
        ~round_guard() {
            if (!quiet_at_fork) return;
            const std::lock_guard<std::mutex> lock(owner_.mutex_);
            if (--owner_.rounds_ == 0) owner_.changed_.notify_all();
        }
        round_guard(const round_guard&) = delete;
        round_guard& operator=(const round_guard&) = delete;

    private:
        renderers& owner_;
    };

    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    int rounds_ = 0;
    std::size_t started_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> rendered_{0};
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

    renderers busy(library_frames);
    for (std::size_t child = 0; child < 20; ++child) {
        const std::size_t which = child % library_frames.size();
        busy.hold();
        const calltrail_test::child_result result = calltrail_test::run_in_child(
            [&] {
                const std::vector<frame> trace = calltrail_test::captured_stack(3);
                write_all(korvo::calltrail::detail::to_string(trace.data(), trace.size()));
                write_all("library: " + korvo::calltrail::to_string(library_frames[which]) + "\n");
            },
            std::chrono::seconds(60));
        busy.release();
        SCOPED_TRACE("child " + std::to_string(child) + "\n" + result.output);
        EXPECT_EQ(calltrail_test::describe_status(result), "exited with 0");
        EXPECT_EQ(result.output.find(calltrail_test::position_prefix(0)), 0u);
        EXPECT_NE(result.output.find("calltrail_sample_descend"), std::string::npos);
        EXPECT_NE(result.output.find("library: " + expected[which] + "\n"), std::string::npos);
    }
}

} // namespace
