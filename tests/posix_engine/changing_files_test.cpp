// Files that change or vanish around a loaded library: replaced before the
// first lookup, loaded again rebuilt at the same place, changed after they
// were read, code unmapped or unreadable, FIFOs where files are looked for.
// Every answer is the loaded image's or none, never another file's; nothing
// crashes or waits.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "attached_symbols.hpp"
#include "crafted_object.hpp"
#include "platform/posix/debug_engine/loaded_module.hpp"
#include "platform/posix/object/debug_file_search.hpp"
#include "reliability/support/child_process.hpp"
#include "test_files.hpp"

namespace {

using namespace korvo::calltrail::posix_engine;
using posix_engine_test::attached_symbols;
using posix_engine_test::temporary_directory;

using entry_function = int (*)(probe*);

const void* entry_frame(void* handle, const char* name) {
    probe p;
    p.capture = &posix_engine_test::capture_stack;
    reinterpret_cast<entry_function>(dlsym(handle, name))(&p);
    return p.frame_of(0);
}

struct replacement {
    const char* name;
    // Loads plugin A, puts plugin B where its path leads, and returns the
    // handle.
    std::function<void*(temporary_directory&)> load_and_replace;
};

// How the registry describes the object that holds an address now.
module_description description_at(const void* address) {
    const std::uint64_t at = posix_engine_test::offset_of(address);
    for (module_description& d : list_loaded_objects().objects)
        for (const auto& range : d.code)
            if (at - d.bias >= range.first && at - d.bias < range.second) {
                name_object(d);
                return d;
            }
    return module_description();
}

void* load_renamed_over(temporary_directory& dir, const char* library, const char* other) {
    const std::string path = dir.copy(library, "loaded.so");
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    EXPECT_EQ(rename(dir.copy(other, "other.so").c_str(), path.c_str()), 0);
    return handle;
}

TEST(posix_engine_changing_files, a_library_replaced_before_its_first_lookup_is_answered_as_loaded_or_not_at_all) {
    const replacement cases[] = {
        {"renamed over, without build-id",
         [](temporary_directory& dir) {
             return load_renamed_over(dir, POSIX_ENGINE_PLUGIN_A_NOID, POSIX_ENGINE_PLUGIN_B_NOID);
         }},
        {"renamed over, with build-id",
         [](temporary_directory& dir) { return load_renamed_over(dir, POSIX_ENGINE_PLUGIN_A, POSIX_ENGINE_PLUGIN_B); }},
        {"symbolic link retargeted",
         [](temporary_directory& dir) {
             const std::string link = dir.path() + "/loaded.so";
             EXPECT_EQ(symlink(dir.copy(POSIX_ENGINE_PLUGIN_A_NOID, "a.so").c_str(), link.c_str()), 0);
             void* handle = dlopen(link.c_str(), RTLD_NOW | RTLD_LOCAL);
             const std::string b = dir.copy(POSIX_ENGINE_PLUGIN_B_NOID, "b.so");
             EXPECT_EQ(unlink(link.c_str()), 0);
             EXPECT_EQ(symlink(b.c_str(), link.c_str()), 0);
             return handle;
         }},
        {"memory file whose descriptor number another one takes",
         [](temporary_directory&) {
             const int a = posix_engine_test::memory_file_of(POSIX_ENGINE_PLUGIN_A_NOID);
             void* handle = dlopen(("/proc/self/fd/" + std::to_string(a)).c_str(), RTLD_NOW | RTLD_LOCAL);
             close(a);
             EXPECT_EQ(posix_engine_test::memory_file_of(POSIX_ENGINE_PLUGIN_B_NOID), a);
             return handle;
         }},
    };
    for (const replacement& r : cases) {
        SCOPED_TRACE(r.name);
        temporary_directory dir;
        void* handle = r.load_and_replace(dir);
        ASSERT_NE(handle, nullptr) << dlerror();
        const void* frame = entry_frame(handle, "plugin_a_entry");
        const attached_symbols symbols;
        const std::string name = symbols.name(frame);
        EXPECT_EQ(name.find("plugin_b"), std::string::npos) << name;
        EXPECT_TRUE(name.empty() || name.find('!') == std::string::npos ||
                    name.substr(name.find('!')) == "!plugin_a_entry")
            << name;
        // Where the system lets no process open its mappings' files, only the
        // path is left, and it leads to the other library.
        module_description by_path = description_at(frame);
        by_path.map_files_path.clear();
        loaded_module module(std::move(by_path));
        function_answer function;
        if (module.function_at(posix_engine_test::offset_of(frame), function)) {
            EXPECT_EQ(function.name, "plugin_a_entry");
        }
        dlclose(handle);
    }
}

TEST(posix_engine_changing_files, a_library_rebuilt_and_loaded_again_at_the_same_place_is_read_anew) {
    int same_place = 0;
    for (int round = 0; round < 5 && same_place == 0; ++round) {
        temporary_directory dir;
        const std::string path = dir.copy(POSIX_ENGINE_PLUGIN_A_NOID, "plugin.so");
        void* a = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(a, nullptr) << dlerror();
        const void* frame = entry_frame(a, "plugin_a_entry");
        EXPECT_EQ(attached_symbols().name(frame), "plugin.so!plugin_a_entry");
        dlclose(a);
        ASSERT_EQ(rename(dir.copy(POSIX_ENGINE_PLUGIN_B_NOID, "rebuilt.so").c_str(), path.c_str()), 0);
        void* b = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(b, nullptr) << dlerror();
        if (entry_frame(b, "plugin_b_entry") == frame) {
            ++same_place;
            EXPECT_EQ(attached_symbols().name(frame), "plugin.so!plugin_b_entry");
        }
        dlclose(b);
    }
    if (same_place == 0) std::printf("note: the rebuilt library never took the first one's place\n");
}

// A crafted object read once, changed, then read again where it had not been.
TEST(posix_engine_changing_files, a_file_changed_after_it_was_read_gives_what_was_read_or_nothing) {
    const std::function<void(const std::string&)> changes[] = {
        [](const std::string& path) { EXPECT_EQ(truncate(path.c_str(), 0), 0); },
        [](const std::string& path) { posix_engine_test::write_file(path, crafted::shared_abbreviations(4, 4)); },
    };
    for (const auto& change : changes) {
        temporary_directory dir;
        const std::string path = dir.path() + "/crafted.so";
        posix_engine_test::write_file(path, crafted::linked_debug_file());
        module_description d;
        d.loader_name = d.path = path;
        d.name = "crafted.so";
        d.code.emplace_back(0, crafted::code_end);
        loaded_module module(std::move(d));
        function_answer function;
        ASSERT_TRUE(module.function_at(crafted::code_start + 1, function));
        change(path);
        source_location location;
        EXPECT_FALSE(module.line_at(crafted::code_start + 1, location));
        ASSERT_TRUE(module.function_at(crafted::code_start + 1, function));
        EXPECT_EQ(function.name, crafted::function_name);
    }
}

// The return address of a call that ends its function is named by the bytes
// before it: read from the file, never from code that is gone or unreadable.
TEST(posix_engine_changing_files, code_that_cannot_be_read_is_still_named_from_its_file) {
    const long page = sysconf(_SC_PAGESIZE);
    for (const bool unload : {true, false}) {
        SCOPED_TRACE(unload ? "unloaded after the attach" : "made unreadable");
        void* handle = dlopen(POSIX_ENGINE_LAID_OUT, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        const auto* after_call = static_cast<const char*>(dlsym(handle, "lo_after_call"));
        ASSERT_NE(after_call, nullptr);
        auto* code_page = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(after_call) & ~(page - 1));
        const attached_symbols symbols;
        if (unload)
            dlclose(handle);
        else
            ASSERT_EQ(mprotect(code_page, static_cast<std::size_t>(page), PROT_NONE), 0);
        const std::string name = symbols.name(after_call);
        EXPECT_TRUE(name.empty() || name == "libposix_engine_laid_out.so!lo_ends_in_call") << name;
        if (!unload) {
            EXPECT_EQ(name, "libposix_engine_laid_out.so!lo_ends_in_call");
            mprotect(code_page, static_cast<std::size_t>(page), PROT_READ | PROT_EXEC);
            dlclose(handle);
        }
    }
}

// Each open would wait for a writer for ever.
void look_for_files_among_fifos() {
    temporary_directory dir;
    const std::string library = dir.copy(POSIX_ENGINE_FORMS_DEBUGLINK_CRC, "forms.so");
    const std::string link_name = std::string(POSIX_ENGINE_FORMS_DEBUGLINK_CRC)
                                      .substr(std::string(POSIX_ENGINE_FORMS_DEBUGLINK_CRC).rfind('/') + 1) +
                                  ".dbg";
    struct stat status {};
    EXPECT_FALSE(open_regular_file(dir.fifo("plain").c_str(), status));
    EXPECT_FALSE(open_regular_file("/dev/null", status));
    // Beside the library and in its .debug directory.
    for (const std::string& where : {std::string(), std::string(".debug/")}) {
        if (!where.empty()) mkdir((dir.path() + "/.debug").c_str(), 0755);
        const std::string fifo = dir.fifo(where + link_name);
        const std::unique_ptr<elf_file> object = elf_file::open(library.c_str());
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(find_debug_file(*object, library, build_id()), nullptr);
        unlink(fifo.c_str());
    }
    // At the build-id path, under a debug directory of our own.
    const std::unique_ptr<elf_file> with_id = elf_file::open(POSIX_ENGINE_FORMS_DEBUGLINK);
    ASSERT_NE(with_id, nullptr);
    ASSERT_GE(with_id->id().size(), 2u);
    const std::string root = dir.path() + "/root";
    const std::string by_id = build_id_path(root.c_str(), with_id->id());
    for (std::string::size_type slash = dir.path().size(); (slash = by_id.find('/', slash + 1)) != std::string::npos;)
        mkdir(by_id.substr(0, slash).c_str(), 0755);
    ASSERT_EQ(mkfifo(by_id.c_str(), 0644), 0);
    EXPECT_EQ(find_debug_file(*with_id, library, with_id->id(), debug_places{{root}, nullptr}), nullptr);
    // Where the split part of a library is looked for: its package beside it,
    // and the .dwo its skeleton names, beside it too (the one in the build
    // tree is gone). It still names its functions.
    const std::string split = dir.copy(POSIX_ENGINE_FORMS_SPLIT_DWARF4_MISSING, "split.so");
    std::ifstream in(split, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_NE(bytes.find("forms_library.cpp.dwo"), std::string::npos);
    dir.fifo("split.so.dwp");
    dir.fifo("forms_library.cpp.dwo");
    void* handle = dlopen(split.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const void* frame = entry_frame(handle, "forms_entry");
    const attached_symbols symbols;
    EXPECT_EQ(symbols.name(frame), "split.so!forms::hidden_step(probe*, int)");
    EXPECT_EQ(symbols.line(frame), 0u);
    dlclose(handle);
}

TEST(posix_engine_changing_files, a_fifo_where_a_file_is_looked_for_is_refused_without_waiting) {
    // In a child, where a hang is caught.
    const calltrail_test::child_result result = calltrail_test::run_in_child(
        [] {
            look_for_files_among_fifos();
            if (::testing::Test::HasFailure()) _exit(1);
        },
        std::chrono::seconds(60));
    EXPECT_FALSE(result.timed_out) << result.output;
    EXPECT_EQ(calltrail_test::describe_status(result), "exited with 0") << result.output;
}

} // namespace
