// Eight threads render traces and ask frames for their names, files and lines
// for a bounded time; every answer must be the one a single thread got. A
// watchdog ends a run that stops making progress as a failure.
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reliability/support/sample_addresses.hpp"

using korvo::calltrail::frame;

namespace {

constexpr int thread_count = 8;

std::chrono::seconds load_duration() {
    const char* text = std::getenv("CALLTRAIL_LOAD_SECONDS");
    const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 3;
    return std::chrono::seconds(seconds > 0 ? seconds : 3);
}

struct frame_answers {
    frame f;
    std::string name;
    std::string file;
    std::size_t line;
    std::string text;
};

struct serial_answers {
    std::vector<std::vector<frame>> traces;
    std::vector<std::string> trace_texts;
    std::vector<frame_answers> frames;
};

serial_answers answers_of_one_thread() {
    serial_answers answers;
    answers.traces.push_back(calltrail_test::captured_stack(6));
    answers.traces.push_back(calltrail_test::captured_stack(20));
    answers.traces.push_back(calltrail_test::addresses_across_modules());
    for (const std::vector<frame>& trace : answers.traces) {
        answers.trace_texts.push_back(korvo::calltrail::detail::to_string(trace.data(), trace.size()));
        for (const frame& f : trace)
            answers.frames.push_back({f, f.name(), f.source_file(), f.source_line(), korvo::calltrail::to_string(f)});
    }
    return answers;
}

// Ends the process as a failure unless released before the deadline.
class watchdog {
public:
    explicit watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cv_.wait_for(lock, limit, [this] { return released_; })) {
                  std::fprintf(stderr, "watchdog: the threads made no end within %lld s\n",
                               static_cast<long long>(limit.count()));
                  std::_Exit(3);
              }
          }) {}
    ~watchdog() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    std::thread thread_;
};

TEST(load, eight_threads_get_the_answers_of_one) {
    const serial_answers serial = answers_of_one_thread();
    // The engine is there: the answers are worth comparing.
    ASSERT_FALSE(serial.trace_texts[0].empty());
    std::size_t named = 0;
    for (const frame_answers& a : serial.frames) named += !a.name.empty();
    ASSERT_GT(named, serial.frames.size() / 2);

    const std::chrono::seconds duration = load_duration();
    const auto deadline = std::chrono::steady_clock::now() + duration;
    std::atomic<long> calls{0};
    std::atomic<long> mismatches{0};
    std::mutex first_mismatch_mutex;
    std::string first_mismatch;
    const auto mismatch = [&](const std::string& what) {
        if (mismatches.fetch_add(1) == 0) {
            const std::lock_guard<std::mutex> lock(first_mismatch_mutex);
            first_mismatch = what;
        }
    };

    const auto started = std::chrono::steady_clock::now();
    {
        // Generous: a slow, shared machine, sanitizers, every thread's last round.
        const watchdog dog(duration + std::chrono::seconds(240));
        std::vector<std::thread> threads;
        for (int t = 0; t < thread_count; ++t) {
            threads.emplace_back([&, t] {
                std::size_t round = 0;
                // At least one whole round each, however slow, then until the deadline.
                while (round == 0 || std::chrono::steady_clock::now() < deadline) {
                    for (std::size_t i = 0; i < serial.traces.size(); ++i) {
                        const std::size_t k = (i + static_cast<std::size_t>(t)) % serial.traces.size();
                        const std::vector<frame>& trace = serial.traces[k];
                        if (korvo::calltrail::detail::to_string(trace.data(), trace.size()) != serial.trace_texts[k])
                            mismatch("trace " + std::to_string(k));
                        calls.fetch_add(1);
                    }
                    for (std::size_t i = 0; i < serial.frames.size(); ++i) {
                        const frame_answers& a =
                            serial.frames[(i * 7 + static_cast<std::size_t>(t)) % serial.frames.size()];
                        if (a.f.name() != a.name) mismatch("name of " + a.text);
                        if (a.f.source_file() != a.file) mismatch("file of " + a.text);
                        if (a.f.source_line() != a.line) mismatch("line of " + a.text);
                        if (korvo::calltrail::to_string(a.f) != a.text) mismatch("text of " + a.text);
                        calls.fetch_add(4);
                    }
                    ++round;
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("load: %d threads, %ld calls in %.1f s: %.0f calls per second\n", thread_count, calls.load(), seconds,
                static_cast<double>(calls.load()) / seconds);
    EXPECT_EQ(mismatches.load(), 0) << "first: " << first_mismatch;
    EXPECT_GE(calls.load(), static_cast<long>(thread_count * (serial.traces.size() + 4 * serial.frames.size())));
}

} // namespace
