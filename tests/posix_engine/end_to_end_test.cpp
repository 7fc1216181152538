// The library's public operations over the POSIX Debug Engine stand-in:
// traces and frames of code whose functions and call lines are known.
#include <gtest/gtest.h>

#include <korvo/calltrail/calltrail.hpp>

#include <dlfcn.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "known_library.hpp"

namespace {

using korvo::calltrail::frame;

__attribute__((noinline)) void collect_into(probe* p) {
    const void* addresses[probe::most_frames];
    const std::size_t count = korvo::calltrail::detail::this_thread_frames::collect(addresses, probe::most_frames, 1);
    for (std::size_t i = 0; i < count; ++i) p->frames[i] = const_cast<void*>(addresses[i]);
    p->frame_count = static_cast<int>(count);
    __asm__ __volatile__("" ::: "memory");
}

probe captured(int (*entry)(probe*)) {
    probe p;
    p.capture = &collect_into;
    entry(&p);
    return p;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

std::string position(int i) { return (i < 10 ? " " : "") + std::to_string(i) + "# "; }

std::string at_call(const probe& p, int call) {
    return " at " + std::string(p.call_of(call).file) + ":" + std::to_string(p.call_of(call).line);
}

TEST(posix_engine_end_to_end, a_trace_names_every_frame_with_its_file_and_call_line) {
    const probe p = captured(&known::call_through_namespaces);
    ASSERT_GE(p.frame_count, 5);
    std::vector<frame> frames;
    for (int i = 0; i < p.frame_count; ++i) frames.emplace_back(p.frames[i]);
    const std::vector<std::string> lines = lines_of(korvo::calltrail::detail::to_string(frames.data(), frames.size()));
    ASSERT_EQ(lines.size(), frames.size());
    EXPECT_EQ(lines[0].rfind(" 0# (anonymous namespace)::collect_into(probe*) at ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], position(1) + "int known::nested::templated_step<long>(probe*, long)" + at_call(p, 0));
    EXPECT_EQ(lines[2], position(2) + "known::nested::widget::spin(probe*) const" + at_call(p, 1));
    EXPECT_EQ(lines[3], position(3) + "known::call_through_namespaces(probe*)" + at_call(p, 2));
}

TEST(posix_engine_end_to_end, frame_members_give_the_same_name_file_and_line) {
    const probe p = captured(&known::call_inlined);
    const frame f(p.frame_of(0));
    // Inlined code: the function it was inlined into, and the line there.
    EXPECT_EQ(f.name(), "known::physical_function(probe*, int)");
    EXPECT_EQ(f.source_file(), p.call_of(1).file);
    EXPECT_EQ(f.source_line(), static_cast<std::size_t>(p.call_of(1).line));
    EXPECT_EQ(korvo::calltrail::to_string(f), "known::physical_function(probe*, int)" + at_call(p, 1));
}

TEST(posix_engine_end_to_end, long_names_and_paths_come_back_whole) {
    const probe named = captured(&known::call_long_name);
    const std::string name = frame(named.frame_of(0)).name();
    EXPECT_GT(name.size(), 256u);
    EXPECT_EQ(name.find('\0'), std::string::npos);
    EXPECT_EQ(name.substr(name.size() - 8), "(probe*)");
    EXPECT_EQ(name.rfind("int known::a_namespace_with_a_deliberately_long_name::", 0), 0u);

    const probe deep = captured(&known::call_deep_path);
    const frame f(deep.frame_of(0));
    EXPECT_EQ(f.source_file(), known::deep_path_file());
    EXPECT_EQ(f.source_line(), static_cast<std::size_t>(deep.call_of(0).line));
    EXPECT_EQ(korvo::calltrail::to_string(f), "known::deep_path_step(probe*)" + at_call(deep, 0));
}

TEST(posix_engine_end_to_end, objects_without_lines_are_shown_in_their_module) {
    void* library = dlopen(POSIX_ENGINE_FORMS_STRIPPED, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto entry = reinterpret_cast<int (*)(probe*)>(dlsym(library, "forms_entry"));
    const probe p = captured(entry);
    const std::string path = POSIX_ENGINE_FORMS_STRIPPED;
    const std::string module = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(korvo::calltrail::to_string(frame(p.frame_of(1))), "forms_entry in " + module);
    // No symbol at all for the hidden function: its address, in the module.
    const std::string hidden = korvo::calltrail::to_string(frame(p.frame_of(0)));
    EXPECT_EQ(hidden.rfind("0x", 0), 0u) << hidden;
    EXPECT_EQ(hidden.substr(hidden.size() - module.size() - 4), " in " + module);
    EXPECT_EQ(frame(p.frame_of(0)).name(), "");
    dlclose(library);
}

TEST(posix_engine_end_to_end, addresses_without_code_give_empty_texts) {
    const std::unique_ptr<int> heap(new int(1));
    for (const void* address :
         {static_cast<const void*>(nullptr), static_cast<const void*>(heap.get()), known::library_data()}) {
        const frame f(address);
        EXPECT_EQ(f.name(), "");
        EXPECT_EQ(f.source_file(), "");
        EXPECT_EQ(f.source_line(), 0u);
    }
}

TEST(posix_engine_end_to_end, traces_rendered_on_eight_threads_at_once_match_the_serial_one) {
    const probe p = captured(&known::call_inlined);
    std::vector<frame> frames;
    for (int i = 0; i < p.frame_count; ++i) frames.emplace_back(p.frames[i]);
    const std::string expected = korvo::calltrail::detail::to_string(frames.data(), frames.size());
    ASSERT_FALSE(expected.empty());
    std::vector<int> mismatches(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round)
                if (korvo::calltrail::detail::to_string(frames.data(), frames.size()) != expected) ++mismatches[t];
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

} // namespace

// Functions laid out by hand: one ends in a call that never returns, so its
// return address is the first byte of the function after it; another ends in
// a return. And the cold part of a split function, named as the compiler
// names it.
#if defined(__aarch64__)
#define CT_CALL "bl"
#else
#define CT_CALL "call"
#endif
extern "C" void ct_never_returns();
extern "C" void ct_ends_in_call();
extern "C" void ct_after_call();
extern "C" void ct_ends_in_return();
extern "C" void ct_after_return();
extern "C" void ct_split_cold() __asm__("ct_split.cold");
extern "C" void ct_mangled_cold() __asm__("_Z10ct_mangledi.cold.2");
__asm__(".text\n"
        ".p2align 4\n"
        ".globl ct_ends_in_call\n.type ct_ends_in_call, @function\nct_ends_in_call:\n"
        "  " CT_CALL " ct_never_returns\n.size ct_ends_in_call, .-ct_ends_in_call\n"
        ".globl ct_after_call\n.type ct_after_call, @function\nct_after_call:\n"
        "  ret\n.size ct_after_call, .-ct_after_call\n"
        ".globl ct_ends_in_return\n.type ct_ends_in_return, @function\nct_ends_in_return:\n"
        "  ret\n.size ct_ends_in_return, .-ct_ends_in_return\n"
        ".globl ct_after_return\n.type ct_after_return, @function\nct_after_return:\n"
        "  ret\n.size ct_after_return, .-ct_after_return\n"
        ".globl ct_split.cold\n.type ct_split.cold, @function\nct_split.cold:\n"
        "  ret\n.size ct_split.cold, .-ct_split.cold\n"
        ".globl _Z10ct_mangledi.cold.2\n.type _Z10ct_mangledi.cold.2, @function\n_Z10ct_mangledi.cold.2:\n"
        "  ret\n.size _Z10ct_mangledi.cold.2, .-_Z10ct_mangledi.cold.2\n");
extern "C" void ct_never_returns() { std::abort(); }

namespace {

const void* code(void (*function)()) { return reinterpret_cast<const void*>(function); }

TEST(posix_engine_end_to_end, a_return_address_past_a_final_call_names_the_caller) {
    EXPECT_EQ(frame(code(&ct_after_call)).name(), "ct_ends_in_call");
    // Not after a call: the first byte of a function is that function.
    EXPECT_EQ(frame(code(&ct_after_return)).name(), "ct_after_return");
    EXPECT_EQ(frame(code(&ct_ends_in_call)).name(), "ct_ends_in_call");
}

TEST(posix_engine_end_to_end, the_cold_part_of_a_function_has_its_name) {
    EXPECT_EQ(frame(code(&ct_split_cold)).name(), "ct_split");
    EXPECT_EQ(frame(code(&ct_mangled_cold)).name(), "ct_mangled(int)");
}

} // namespace
