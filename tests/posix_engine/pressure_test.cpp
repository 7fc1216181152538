// Memory and descriptors running out while a library is looked up: what
// fails is tried again by the next lookup, which answers right; nothing is
// left half-built, and no descriptor is kept.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "attached_symbols.hpp"
#include "platform/posix/debug_engine/loaded_module.hpp"
#include "reliability/support/child_process.hpp"
#include "reliability/support/failing_allocation.hpp"
#include "test_files.hpp"

namespace {

using namespace korvo::calltrail::posix_engine;
using posix_engine_test::attached_symbols;

probe captured(void* handle, const char* entry) {
    probe p;
    p.capture = &posix_engine_test::capture_stack;
    reinterpret_cast<int (*)(probe*)>(dlsym(handle, entry))(&p);
    return p;
}

// What a module says of the two frames of the probe: names, files, lines.
std::vector<std::string> answers_of(loaded_module& module, const probe& p) {
    std::vector<std::string> answers;
    for (int i = 0; i < 2; ++i) {
        const std::uint64_t address = posix_engine_test::offset_of(p.frame_of(i));
        function_answer function;
        answers.emplace_back(module.function_at(address, function) ? function.name : "");
        source_location location;
        answers.push_back(module.line_at(address, location) ? *location.path + ":" + std::to_string(location.line)
                                                            : std::string());
    }
    return answers;
}

module_description loaded_description(const char* loader_name) {
    for (module_description& d : list_loaded_objects().objects) {
        if (d.loader_name != loader_name) continue;
        name_object(d);
        return d;
    }
    return module_description();
}

// Fails each allocation of a first lookup in turn; after each, the next
// lookup must answer `right` and hold no more descriptors than before. The
// number of allocations that were failed.
std::size_t fail_each_allocation(const module_description& description, const probe& p,
                                 const std::vector<std::string>& right) {
    const int descriptors = posix_engine_test::open_descriptors();
    std::size_t failures = 0;
    for (std::size_t fail_at = 1;; ++fail_at) {
        loaded_module module(description);
        calltrail_test::start_counting(fail_at);
        try {
            answers_of(module, p);
        } catch (const std::bad_alloc&) {}
        calltrail_test::stop_counting();
        if (!calltrail_test::injected()) return failures;
        ++failures;
        EXPECT_EQ(answers_of(module, p), right) << "allocation " << fail_at;
        EXPECT_EQ(posix_engine_test::open_descriptors(), descriptors) << "allocation " << fail_at;
    }
}

// The library's first frame lies in a unit that .debug_aranges leaves out, so
// that its first line lookup walks the units too.
TEST(posix_engine_pressure, an_allocation_failing_anywhere_in_a_first_lookup_leaves_the_next_one_right) {
    void* handle = dlopen(POSIX_ENGINE_UNLISTED, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const probe p = captured(handle, "listed_entry");
    const module_description description = loaded_description(POSIX_ENGINE_UNLISTED);
    std::vector<std::string> right;
    {
        loaded_module module(description);
        right = answers_of(module, p);
    }
    ASSERT_EQ(right[0], "unlisted_step(probe*)");
    ASSERT_EQ(right[1], std::string(p.call_of(0).file) + ":" + std::to_string(p.call_of(0).line));
    ASSERT_EQ(right[3], std::string(p.call_of(1).file) + ":" + std::to_string(p.call_of(1).line));
    EXPECT_GT(fail_each_allocation(description, p, right), 50u);
    dlclose(handle);
}

// The forms read through more than the object's own sections: a package of
// split units, MiniDebugInfo decoded into memory and merged with the dynamic
// symbols, zlib sections. Their first lookups fail at each allocation, and
// the next lookups answer right.
TEST(posix_engine_pressure, an_allocation_failing_in_a_first_lookup_of_each_form_leaves_the_next_one_right) {
    for (const char* form :
         {POSIX_ENGINE_FORMS_SPLIT_DWARF4_PACKAGE, POSIX_ENGINE_FORMS_MINI_DEBUGINFO, POSIX_ENGINE_FORMS_COMPRESSED}) {
        SCOPED_TRACE(form);
        void* handle = dlopen(form, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        const probe p = captured(handle, "forms_entry");
        const module_description description = loaded_description(form);
        std::vector<std::string> right;
        {
            loaded_module module(description);
            right = answers_of(module, p);
        }
        ASSERT_EQ(right[0], "forms::hidden_step(probe*, int)");
        EXPECT_GT(fail_each_allocation(description, p, right), 10u);
        dlclose(handle);
    }
}

// Thirty libraries looked up under a limit that leaves ten descriptors: none
// is held afterwards, and the program can still open its own files. With
// none left, a lookup answers what it can, and answers right once there are.
void look_up_with_few_descriptors() {
    posix_engine_test::temporary_directory dir;
    std::vector<const void*> frames;
    for (int i = 0; i <= 30; ++i) {
        const std::string path = dir.copy(POSIX_ENGINE_PLUGIN_A, "plugin_" + std::to_string(i) + ".so");
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        frames.push_back(captured(handle, "plugin_a_entry").frame_of(0));
    }
    const int descriptors = posix_engine_test::open_descriptors();
    int highest = -1;
    for (int fd = 0; fd < 4096; ++fd)
        if (fcntl(fd, F_GETFD) >= 0) highest = fd;
    // Only the soft limit: valgrind keeps the hard one.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = static_cast<rlim_t>(highest + 11);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    for (int i = 0; i < 30; ++i) {
        const attached_symbols symbols;
        EXPECT_EQ(symbols.name(frames[static_cast<std::size_t>(i)]),
                  "plugin_" + std::to_string(i) + ".so!plugin_a_entry");
        EXPECT_GT(symbols.line(frames[static_cast<std::size_t>(i)]), 0u);
    }
    EXPECT_EQ(posix_engine_test::open_descriptors(), descriptors);
    std::vector<int> taken;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
    EXPECT_GE(taken.size(), 10u);
    const std::string last = "plugin_30.so!plugin_a_entry";
    {
        const attached_symbols symbols;
        const std::string name = symbols.name(frames.back());
        EXPECT_TRUE(name.empty() || name == "plugin_30.so" || name == last) << name;
    }
    for (const int fd : taken) close(fd);
    const attached_symbols symbols;
    EXPECT_EQ(symbols.name(frames.back()), last);
    EXPECT_GT(symbols.line(frames.back()), 0u);
}

TEST(posix_engine_pressure, descriptors_are_not_held_between_lookups_even_when_few_are_left) {
    // In a child: the limit is the process's.
    const calltrail_test::child_result result = calltrail_test::run_in_child(
        [] {
            look_up_with_few_descriptors();
            if (::testing::Test::HasFailure()) _exit(1);
        },
        std::chrono::seconds(120));
    EXPECT_EQ(calltrail_test::describe_status(result), "exited with 0") << result.output;
}

// The files a lookup reads beside a library's own or decodes from it: a
// package of split units, a lone .dwo, MiniDebugInfo, compressed sections, a
// debug link. (The DWARF 4 forms, which valgrind loads.)
TEST(posix_engine_pressure, no_form_of_debug_information_holds_a_descriptor_after_a_lookup) {
    const std::pair<const char*, bool> forms[] = {{POSIX_ENGINE_FORMS_SPLIT_DWARF4_PACKAGE, true},
                                                  {POSIX_ENGINE_FORMS_SPLIT_DWARF4, true},
                                                  {POSIX_ENGINE_FORMS_MINI_DEBUGINFO, false},
                                                  {POSIX_ENGINE_FORMS_COMPRESSED, true},
                                                  {POSIX_ENGINE_FORMS_DEBUGLINK, true}};
    for (const auto& form : forms) {
        SCOPED_TRACE(form.first);
        void* handle = dlopen(form.first, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        const probe p = captured(handle, "forms_entry");
        const int descriptors = posix_engine_test::open_descriptors();
        {
            const attached_symbols symbols;
            EXPECT_NE(symbols.name(p.frame_of(0)).find("!forms::hidden_step"), std::string::npos);
            EXPECT_EQ(symbols.line(p.frame_of(1)) != 0, form.second);
        }
        EXPECT_EQ(posix_engine_test::open_descriptors(), descriptors);
        dlclose(handle);
    }
}

} // namespace
