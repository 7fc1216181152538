// Names that files and symbols may carry: a `!`, which would split a symbol
// text at the wrong place, and control characters, which would forge lines
// of a trace. Traces show them escaped and nothing else differently.
#include <gtest/gtest.h>

#include <korvo/calltrail/calltrail.hpp>

#include <dlfcn.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/escaped_text.hpp"
#include "test_files.hpp"

namespace {

using korvo::calltrail::frame;

TEST(posix_engine_names, control_characters_are_escaped_and_nothing_else) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain::name(int) const", "plain::name(int) const"},
        {"line\nfeed", "line\\nfeed"},
        {"\ttab and return\r", "\\ttab and return\\r"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"\x1b[2Jescape\x7f", "\\x1b[2Jescape\\x7f"},
        {"c:\\path\\kept \xc3\xa9 ~", "c:\\path\\kept \xc3\xa9 ~"},
    };
    for (const auto& c : cases) {
        std::string out = "head ";
        korvo::calltrail::append_escaped(out, c.first);
        EXPECT_EQ(out, "head " + c.second);
    }
}

// Long texts are passed over sixteen or eight bytes at a time, the last
// block overlapping the one before: every byte value, at every place within
// and across blocks of texts of every length up to three blocks, is kept or
// escaped as on its own.
TEST(posix_engine_names, every_byte_is_escaped_alike_wherever_it_stands) {
    for (int value = 0; value < 256; ++value) {
        const char c = static_cast<char>(value);
        std::string alone;
        korvo::calltrail::append_escaped(alone, std::string_view(&c, 1));
        for (std::size_t size = 1; size <= 48; ++size) {
            for (std::size_t at = 0; at < size; ++at) {
                std::string text(size, 'a');
                text[at] = c;
                std::string out;
                korvo::calltrail::append_escaped(out, text);
                ASSERT_EQ(out, std::string(at, 'a') + alone + std::string(size - 1 - at, 'a'))
                    << value << " at " << at << " of " << size;
            }
        }
    }
}

// A library whose file name holds a `!`, and one whose name would add a line
// of its own to a crash log.
TEST(posix_engine_names, a_module_name_neither_splits_a_symbol_text_nor_forges_a_trace_line) {
    posix_engine_test::temporary_directory dir;
    const std::string forged = "evil.so\n 9# injected_function at fake.c:1\n\x1b[2J";
    const std::pair<std::string, std::string> cases[] = {
        {"lib!bang.so", "forms_entry in lib_bang.so"},
        {forged, "forms_entry in evil.so\\n 9# injected_function at fake.c:1\\n\\x1b[2J"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        void* handle = dlopen(dir.copy(POSIX_ENGINE_FORMS_STRIPPED, c.first).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        const frame f(static_cast<const char*>(dlsym(handle, "forms_entry")) + 1);
        EXPECT_EQ(f.name(), "forms_entry");
        EXPECT_EQ(korvo::calltrail::to_string(f), c.second);
        const std::vector<frame> frames(3, f);
        const std::string trace = korvo::calltrail::detail::to_string(frames.data(), frames.size());
        EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 3) << trace;
        dlclose(handle);
    }
}

} // namespace
