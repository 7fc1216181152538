// Names, files and lines that the POSIX Debug Engine stand-in gives for code
// whose functions and call lines are known, and what it gives for addresses
// that hold no code.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "attached_symbols.hpp"
#include "known_library.hpp"

namespace {

using posix_engine_test::attached_symbols;
using posix_engine_test::offset_of;

const std::string known_module = "libposix_engine_known.so";

probe captured(int (*entry)(probe*)) {
    probe p;
    p.capture = &posix_engine_test::capture_stack;
    entry(&p);
    return p;
}

// Frame i names `function` of `module` and shows the line of its recorded call.
void expect_frame(const attached_symbols& symbols, const probe& p, int frame, int call, const std::string& module,
                  const std::string& function) {
    SCOPED_TRACE("frame " + std::to_string(frame) + " " + function);
    const void* address = p.frame_of(frame);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(symbols.name(address), module + "!" + function);
    ULONG line = 0;
    EXPECT_EQ(symbols.file(address, &line), p.call_of(call).file);
    EXPECT_EQ(line, static_cast<ULONG>(p.call_of(call).line));
    EXPECT_EQ(symbols.line(address), static_cast<ULONG>(p.call_of(call).line));
}

TEST(posix_engine_names, frames_give_demangled_namespaced_names_absolute_files_and_call_lines) {
    const probe p = captured(&known::call_through_namespaces);
    ASSERT_EQ(p.depth, 3);
    const attached_symbols symbols;
    ASSERT_TRUE(symbols.ready());
    expect_frame(symbols, p, 0, 0, known_module, "int known::nested::templated_step<long>(probe*, long)");
    expect_frame(symbols, p, 1, 1, known_module, "known::nested::widget::spin(probe*) const");
    expect_frame(symbols, p, 2, 2, known_module, "known::call_through_namespaces(probe*)");
    // The frame of the capture itself lies in the test program.
    EXPECT_EQ(symbols.name(p.frames[0]),
              posix_engine_test::program_name() + "!posix_engine_test::capture_stack(probe*)");
}

__attribute__((noinline)) int program_step(probe* p) { return PROBE_CALL(p, (p->capture(p), 0)) + 1; }
__attribute__((noinline)) int program_entry(probe* p) { return PROBE_CALL(p, program_step(p)) + 1; }

TEST(posix_engine_names, the_program_is_named_by_its_file_name) {
    const probe p = captured(&program_entry);
    const attached_symbols symbols;
    const std::string program = posix_engine_test::program_name();
    expect_frame(symbols, p, 0, 0, program, "(anonymous namespace)::program_step(probe*)");
    expect_frame(symbols, p, 1, 1, program, "(anonymous namespace)::program_entry(probe*)");
}

TEST(posix_engine_names, inlined_code_is_described_by_the_function_it_was_inlined_into) {
    const probe p = captured(&known::call_inlined);
    ASSERT_EQ(p.depth, 3);
    const attached_symbols symbols;
    // The capture was called from inlined_helper, which has no frame: the
    // frame is physical_function's, at the line that entered the helper.
    expect_frame(symbols, p, 0, 1, "libposix_engine_inline.so", "known::physical_function(probe*, int)");
    expect_frame(symbols, p, 1, 2, "libposix_engine_inline.so", "known::call_inlined(probe*)");
}

TEST(posix_engine_names, inlined_code_in_a_lambda_is_described_by_the_lambda) {
    const probe p = captured(&known::call_inlined_in_lambda);
    ASSERT_EQ(p.depth, 4);
    const attached_symbols symbols;
    expect_frame(symbols, p, 0, 1, "libposix_engine_inline.so",
                 "known::call_inlined_in_lambda(probe*)::{lambda(probe*)#1}::operator()(probe*) const");
    expect_frame(symbols, p, 1, 2, "libposix_engine_inline.so",
                 "int "
                 "known::run_step<known::call_inlined_in_lambda(probe*)::{lambda(probe*)#1}>(known::call_inlined_in_"
                 "lambda(probe*)::{lambda(probe*)#1}, probe*)");
    expect_frame(symbols, p, 2, 3, "libposix_engine_inline.so", "known::call_inlined_in_lambda(probe*)");
}

TEST(posix_engine_names, the_first_byte_of_a_function_is_described_as_itself) {
    const attached_symbols symbols;
    const void* start = known::first_byte_function();
    EXPECT_EQ(symbols.name(start), known_module + "!known::first_byte_target(int)");
    ULONG line = 0;
    EXPECT_NE(symbols.file(start, &line).find("known_library.cpp"), std::string::npos);
    EXPECT_EQ(line, static_cast<ULONG>(known::first_byte_line()));
    // The byte after it is taken for a return address: it describes the
    // first byte too.
    const void* next = static_cast<const char*>(start) + 1;
    EXPECT_EQ(symbols.name(next), known_module + "!known::first_byte_target(int)");
    EXPECT_EQ(symbols.line(next), static_cast<ULONG>(known::first_byte_line()));
}

TEST(posix_engine_texts, a_long_name_is_cut_with_s_false_and_then_given_whole_at_the_needed_size) {
    const probe p = captured(&known::call_long_name);
    const attached_symbols symbols;
    const ULONG64 offset = offset_of(p.frame_of(0));

    char first[256];
    std::memset(first, 'x', sizeof first);
    ULONG needed = 0;
    ASSERT_EQ(symbols.get()->GetNameByOffset(offset, first, sizeof first, &needed, nullptr), S_FALSE);
    ASSERT_GT(needed, 257u);
    EXPECT_EQ(first[255], '\0');
    EXPECT_EQ(std::strlen(first), 255u);

    std::vector<char> whole(needed, 'x');
    ULONG again = 0;
    ASSERT_EQ(symbols.get()->GetNameByOffset(offset, whole.data(), needed, &again, nullptr), S_OK);
    EXPECT_EQ(again, needed);
    const std::string text(whole.data());
    EXPECT_EQ(text.size() + 1, needed);
    EXPECT_EQ(text.compare(0, 255, first), 0);
    EXPECT_EQ(text.rfind(known_module + "!int known::a_namespace_with_a_deliberately_long_name::"
                                        "and_another_one_inside_it_to_make_names_longer::long_named_function<",
                         0),
              0u);
    EXPECT_NE(text.find("wrapper_template_with_a_rather_long_name<unsigned long>"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 8), "(probe*)");

    // One byte short of the needed size still does not fit.
    std::vector<char> short_by_one(needed - 1);
    EXPECT_EQ(symbols.get()->GetNameByOffset(offset, short_by_one.data(), needed - 1, &again, nullptr), S_FALSE);
    EXPECT_EQ(std::string(short_by_one.data()), text.substr(0, needed - 2));
}

TEST(posix_engine_texts, a_long_path_is_cut_with_s_false_and_then_given_whole_at_the_needed_size) {
    const probe p = captured(&known::call_deep_path);
    const attached_symbols symbols;
    const std::string expected = known::deep_path_file();
    ASSERT_GT(expected.size(), 300u);
    const ULONG64 offset = offset_of(p.frame_of(0));

    char first[256];
    ULONG needed = 0;
    ULONG line = 0;
    ASSERT_EQ(symbols.get()->GetLineByOffset(offset, &line, first, sizeof first, &needed, nullptr), S_FALSE);
    EXPECT_EQ(needed, expected.size() + 1);
    EXPECT_EQ(std::string(first), expected.substr(0, 255));
    EXPECT_EQ(line, static_cast<ULONG>(p.call_of(0).line));

    std::vector<char> whole(needed);
    ASSERT_EQ(symbols.get()->GetLineByOffset(offset, &line, whole.data(), needed, &needed, nullptr), S_OK);
    EXPECT_EQ(std::string(whole.data()), expected);
    expect_frame(symbols, p, 1, 1, known_module, "known::call_deep_path(probe*)");
}

TEST(posix_engine_texts, sizes_count_the_nul_and_a_null_buffer_only_asks) {
    const probe p = captured(&program_entry);
    const attached_symbols symbols;
    const ULONG64 offset = offset_of(p.frame_of(0));
    const std::string name = symbols.name(p.frame_of(0));
    ASSERT_FALSE(name.empty());

    ULONG needed = 0;
    EXPECT_EQ(symbols.get()->GetNameByOffset(offset, nullptr, 0, &needed, nullptr), S_OK);
    EXPECT_EQ(needed, name.size() + 1);
    char exact[512];
    EXPECT_EQ(symbols.get()->GetNameByOffset(offset, exact, needed, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::string(exact), name);
    char tiny[1] = {'x'};
    EXPECT_EQ(symbols.get()->GetNameByOffset(offset, tiny, 1, &needed, nullptr), S_FALSE);
    EXPECT_EQ(tiny[0], '\0');

    ULONG line = 0;
    EXPECT_EQ(symbols.get()->GetLineByOffset(offset, &line, nullptr, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(line, static_cast<ULONG>(p.call_of(0).line));
    ULONG64 displacement = 12345;
    EXPECT_EQ(symbols.get()->GetNameByOffset(offset, exact, sizeof exact, &needed, &displacement), S_OK);
    EXPECT_GT(displacement, 0u);
    EXPECT_LT(displacement, 4096u);
}

int program_data = 17;

TEST(posix_engine_addresses, addresses_that_hold_no_code_fail_cleanly) {
    const attached_symbols symbols;
    const std::unique_ptr<int> heap(new int(5));
    int stack = 3;
    void* unmapped = mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(unmapped, MAP_FAILED);
    munmap(unmapped, 4096);
    void* anonymous_code = mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(anonymous_code, MAP_FAILED);
    const std::vector<ULONG64> nowhere = {
        0,
        1,
        0xffffffff81000000ull, // kernel space
        0xffffffffff600000ull, // the legacy vsyscall page
        ~0ull,
        offset_of(unmapped),
        offset_of(anonymous_code),
        offset_of(heap.get()),
        offset_of(&stack),
        offset_of(&program_data),
        offset_of(known::library_data()),
#if !defined(__aarch64__) // whose linker keeps read-only data in the segment of the code
        offset_of("a string literal"),
#endif
    };
    for (const ULONG64 offset : nowhere) {
        SCOPED_TRACE(offset);
        char buffer[256] = "untouched";
        ULONG size = 77;
        EXPECT_LT(symbols.get()->GetNameByOffset(offset, buffer, sizeof buffer, &size, nullptr), 0);
        EXPECT_EQ(size, 0u);
        EXPECT_STREQ(buffer, "");
        ULONG line = 77;
        size = 77;
        std::strcpy(buffer, "untouched");
        EXPECT_LT(symbols.get()->GetLineByOffset(offset, &line, buffer, sizeof buffer, &size, nullptr), 0);
        EXPECT_EQ(size, 0u);
        EXPECT_STREQ(buffer, "");
        EXPECT_LT(symbols.get()->GetLineByOffset(offset, &line, nullptr, 0, nullptr, nullptr), 0);
    }
    munmap(anonymous_code, 4096);
}

// The answers of one thread working alone, for addresses in the program, a
// library, inlined code and the C library.
struct reference_answers {
    std::vector<const void*> addresses;
    std::vector<std::string> names;
    std::vector<std::string> files;
    std::vector<ULONG> lines;
};

reference_answers serial_answers() {
    reference_answers r;
    for (auto entry : {&program_entry, &known::call_through_namespaces, &known::call_inlined, &known::call_long_name}) {
        const probe p = captured(entry);
        for (int i = 0; i < p.frame_count; ++i) r.addresses.push_back(p.frames[i]);
    }
    r.addresses.push_back(reinterpret_cast<const void*>(&std::qsort));
    const attached_symbols symbols;
    for (const void* address : r.addresses) {
        ULONG line = 0;
        r.names.push_back(symbols.name(address));
        r.files.push_back(symbols.file(address, &line));
        r.lines.push_back(line);
    }
    return r;
}

TEST(posix_engine_threads, eight_threads_attaching_and_resolving_at_once_get_the_serial_answers) {
    const reference_answers expected = serial_answers();
    ASSERT_GT(expected.addresses.size(), 10u);
    std::atomic<int> mismatches{0};
    std::atomic<int> not_ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 40; ++round) {
                const attached_symbols symbols;
                if (!symbols.ready()) {
                    ++not_ready;
                    continue;
                }
                // Threads walk the addresses from different places.
                for (std::size_t k = 0; k < expected.addresses.size(); ++k) {
                    const std::size_t i = (k + static_cast<std::size_t>(t) * 5) % expected.addresses.size();
                    ULONG line = 0;
                    if (symbols.name(expected.addresses[i]) != expected.names[i] ||
                        symbols.file(expected.addresses[i], &line) != expected.files[i] || line != expected.lines[i])
                        ++mismatches;
                }
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(not_ready.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
}

} // namespace
