// Built once against calltrail_noop and once against calltrail_noop_d: the
// same declarations, linked unchanged, answer nothing.
#include <korvo/calltrail/calltrail.hpp>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"

namespace ct = korvo::calltrail;

namespace {

const void* address(std::uintptr_t value) { return reinterpret_cast<const void*>(value); }

void collect_writes_nothing() {
    check::section("collect");
    const void* out[4] = {address(11), address(12), address(13), address(14)};
    CHECK_EQ(ct::detail::this_thread_frames::collect(out, 4, 0), 0u);
    CHECK_EQ(ct::detail::this_thread_frames::collect(out, 4, 1), 0u);
    CHECK_EQ(ct::detail::this_thread_frames::collect(out, 0, 0), 0u);
    // Not even the array is looked at.
    CHECK_EQ(ct::detail::this_thread_frames::collect(nullptr, ~std::size_t{0}, ~std::size_t{0}), 0u);
    CHECK(out[0] == address(11) && out[1] == address(12) && out[2] == address(13) && out[3] == address(14));
}

void frames_have_nothing() {
    check::section("frame members");
    const std::uintptr_t values[] = {0,
                                     1,
                                     0x1234,
                                     0x00007FF6A1B21234u,
                                     ~std::uintptr_t{0},
                                     reinterpret_cast<std::uintptr_t>(&collect_writes_nothing)};
    for (const std::uintptr_t value : values) {
        const ct::frame f(address(value));
        CHECK_EQ(f.name(), std::string());
        CHECK_EQ(f.source_file(), std::string());
        CHECK_EQ(f.source_line(), 0u);
        CHECK_EQ(ct::to_string(f), std::string());
        CHECK(f.code_address() == address(value));
    }
}

void traces_are_empty() {
    check::section("traces");
    const ct::frame frames[3] = {ct::frame(address(1)), ct::frame(address(2)), ct::frame(address(3))};
    CHECK_EQ(ct::detail::to_string(frames, 3), std::string());
    CHECK_EQ(ct::detail::to_string(frames, 0), std::string());
    CHECK_EQ(ct::detail::to_string(nullptr, ~std::size_t{0}), std::string());
    CHECK_EQ(ct::current_trace(), std::string());
}

void dump_answers_zero() {
    check::section("dump");
    const void* frames[2] = {address(7), address(8)};
    CHECK_EQ(ct::detail::dump(static_cast<void*>(nullptr), nullptr, ~std::size_t{0}), 0u);
    CHECK_EQ(ct::detail::dump(static_cast<const char*>(nullptr), nullptr, 0), 0u);
    CHECK_EQ(ct::detail::dump("trace.txt", frames, 2), 0u);
    CHECK(frames[0] == address(7) && frames[1] == address(8));
}

void answers_from_several_threads() {
    check::section("threads");
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < wrong.size(); ++t)
        threads.emplace_back([t, &wrong] {
            const void* out[2] = {address(5), address(6)};
            for (std::uintptr_t i = 0; i < 200; ++i) {
                const ct::frame f(address(i));
                if (!f.name().empty() || f.source_line() != 0 || !ct::to_string(f).empty() ||
                    ct::detail::this_thread_frames::collect(out, 2, 0) != 0)
                    ++wrong[t];
            }
        });
    for (auto& thread : threads) thread.join();
    for (const int count : wrong) CHECK_EQ(count, 0);
}

} // namespace

int main() {
    collect_writes_nothing();
    frames_have_nothing();
    traces_are_empty();
    dump_answers_zero();
    answers_from_several_threads();
    return check::finish();
}
