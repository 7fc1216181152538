// Addresses that point anywhere but at code: into nothing, into a library
// that is gone, into data, stack, heap and guard pages. The engine must
// answer all of them without crashing, and never from what it saw before.
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "reliability/support/sample_addresses.hpp"

using korvo::calltrail::frame;

namespace {

const void* at(std::uintptr_t value) { return reinterpret_cast<const void*>(value); }

std::string hex_text(const void* address) {
    char text[19];
    std::snprintf(text, sizeof text, "0x%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(address)));
    return text;
}

// Whether code of the named file is mapped; a file mapped only for reading
// (the engine may keep an image of it) does not count.
bool code_mapped(const std::string& file_name) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, permissions;
        fields >> range >> permissions;
        if (permissions.find('x') != std::string::npos && line.find(file_name) != std::string::npos) return true;
    }
    return false;
}

// Memory that belongs to no loaded object: no name, no file, no line, and a
// text that is the address alone.
void expect_unknown(const void* address, const char* what) {
    const frame f(address);
    EXPECT_EQ(f.name(), "") << what;
    EXPECT_EQ(f.source_file(), "") << what;
    EXPECT_EQ(f.source_line(), 0u) << what;
    EXPECT_EQ(korvo::calltrail::to_string(f), hex_text(address)) << what;
}

int some_data = 42;

TEST(bad_input, addresses_in_no_mapping_are_shown_by_their_address) {
    const long page = sysconf(_SC_PAGESIZE);
    void* region = mmap(nullptr, static_cast<std::size_t>(page) * 4, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    ASSERT_EQ(munmap(region, static_cast<std::size_t>(page) * 4), 0);
    expect_unknown(region, "unmapped memory");
    expect_unknown(static_cast<char*>(region) + page * 2 + 17, "inside unmapped memory");

    expect_unknown(nullptr, "null");
    expect_unknown(at(1), "the first page");
    expect_unknown(at(0x0000800000000000), "the first non-canonical address");
    expect_unknown(at(0xFFFF800000000000), "kernel space");
    expect_unknown(at(~std::uintptr_t{0}), "the last address");
}

TEST(bad_input, stack_heap_and_guard_pages_are_shown_by_their_address) {
    int local = 0;
    expect_unknown(&local, "this thread's stack");
    const std::unique_ptr<char[]> small(new char[64]);
    expect_unknown(small.get(), "a small heap block");
    // Large blocks come from mappings of their own.
    const std::unique_ptr<char[]> large(new char[8 << 20]);
    expect_unknown(large.get() + (4 << 20), "a large heap block");

    const long page = sysconf(_SC_PAGESIZE);
    void* guarded = mmap(nullptr, static_cast<std::size_t>(page) * 3, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(guarded, MAP_FAILED);
    expect_unknown(static_cast<char*>(guarded) + page, "a page that cannot be read");
    munmap(guarded, static_cast<std::size_t>(page) * 3);

    // The guard page below a thread's stack, while the thread lives.
    struct probe {
        const void* guard = nullptr;
    } seen;
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setguardsize(&attributes, static_cast<std::size_t>(page) * 4), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* argument) -> void* {
                      pthread_attr_t own;
                      void* stack = nullptr;
                      std::size_t size = 0;
                      if (pthread_getattr_np(pthread_self(), &own) == 0) {
                          pthread_attr_getstack(&own, &stack, &size);
                          pthread_attr_destroy(&own);
                      }
                      // glibc puts the guard just below the usable stack.
                      static_cast<probe*>(argument)->guard = static_cast<char*>(stack) - 64;
                      expect_unknown(static_cast<probe*>(argument)->guard, "a thread's guard page");
                      return nullptr;
                  },
                  &seen),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_NE(seen.guard, nullptr);
}

TEST(bad_input, data_of_a_module_is_never_given_a_source_line) {
    const frame f(&some_data);
    const std::string text = korvo::calltrail::to_string(f);
    // Either named after the variable or shown by address in this program.
    const std::string name = f.name();
    EXPECT_TRUE(name.empty() || name.find("some_data") != std::string::npos) << name;
    EXPECT_EQ(f.source_line(), 0u);
    EXPECT_EQ(text.find(" at "), std::string::npos) << text;
}

TEST(bad_input, an_unloaded_library_is_never_answered_from_what_was_seen_before) {
    const char* path = CALLTRAIL_UNLOADABLE_LIBRARY;
    const std::string file_name = std::string(path).substr(std::string(path).rfind('/') + 1);
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const void* function = dlsym(handle, "calltrail_unloadable_function");
    ASSERT_NE(function, nullptr);
    const frame f(static_cast<const char*>(function) + 1);

    // Seen while loaded, so that the engine knows the library.
    EXPECT_EQ(f.name(), "calltrail_unloadable_function");
    const std::string loaded_text = korvo::calltrail::to_string(f);
    EXPECT_EQ(loaded_text.rfind("calltrail_unloadable_function", 0), 0u) << loaded_text;
    const std::vector<frame> trace = {f, frame(&some_data), f};
    const std::string loaded_trace = korvo::calltrail::detail::to_string(trace.data(), trace.size());

    ASSERT_EQ(dlclose(handle), 0);
    ASSERT_FALSE(code_mapped(file_name)) << "the library stayed loaded, so nothing can be checked";
    EXPECT_EQ(f.name(), "");
    EXPECT_EQ(f.source_file(), "");
    EXPECT_EQ(f.source_line(), 0u);
    EXPECT_EQ(korvo::calltrail::to_string(f), hex_text(f.code_address()));
    const std::string unloaded_trace = korvo::calltrail::detail::to_string(trace.data(), trace.size());
    EXPECT_EQ(unloaded_trace.find("calltrail_unloadable_function"), std::string::npos) << unloaded_trace;
    EXPECT_EQ(unloaded_trace.find(file_name), std::string::npos) << unloaded_trace;
    EXPECT_NE(unloaded_trace, loaded_trace);

    // Loaded again, wherever it lands, it is known again.
    handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const frame again(static_cast<const char*>(dlsym(handle, "calltrail_unloadable_function")) + 1);
    EXPECT_EQ(again.name(), "calltrail_unloadable_function");
    dlclose(handle);
}

TEST(bad_input, a_trace_of_every_kind_of_address_has_one_well_formed_line_each) {
    int local = 0;
    const std::unique_ptr<int> heap(new int(7));
    std::vector<frame> frames = calltrail_test::addresses_across_modules();
    frames.emplace_back(&local);
    frames.emplace_back(heap.get());
    frames.emplace_back(&some_data);
    const std::vector<frame> captured = calltrail_test::captured_stack(5);
    frames.insert(frames.end(), captured.begin(), captured.end());

    const std::string trace = korvo::calltrail::detail::to_string(frames.data(), frames.size());
    std::istringstream in(trace);
    std::size_t position = 0;
    for (std::string line; std::getline(in, line); ++position) {
        ASSERT_LT(position, frames.size()) << trace;
        const std::string prefix = calltrail_test::position_prefix(position);
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
        EXPECT_EQ(line.substr(prefix.size()), korvo::calltrail::to_string(frames[position])) << line;
    }
    EXPECT_EQ(position, frames.size());
    EXPECT_EQ(trace.back(), '\n');
}

} // namespace
