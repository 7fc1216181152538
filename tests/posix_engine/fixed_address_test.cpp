// A program linked at a fixed address, without position-independent code.
#include <gtest/gtest.h>

#include <link.h>

#include "attached_symbols.hpp"
#include "known_library.hpp"

namespace {

using posix_engine_test::attached_symbols;

int program_bias(dl_phdr_info* info, std::size_t, void* data) {
    *static_cast<ElfW(Addr)*>(data) = info->dlpi_addr;
    return 1;
}

} // namespace

// Not local, so that the optimiser keeps them as they are written.
namespace fixed_program {
__attribute__((noinline)) int fixed_step(probe* p) { return PROBE_CALL(p, (p->capture(p), 0)) + 1; }
__attribute__((noinline)) int fixed_entry(probe* p) { return PROBE_CALL(p, fixed_step(p)) + 1; }
} // namespace fixed_program

namespace {

TEST(posix_engine_fixed_address, its_functions_are_named_and_located) {
    ElfW(Addr) bias = 1;
    dl_iterate_phdr(program_bias, &bias);
    ASSERT_EQ(bias, 0u) << "the program was built position-independent";

    probe p;
    p.capture = &posix_engine_test::capture_stack;
    fixed_program::fixed_entry(&p);
    const attached_symbols symbols;
    const std::string program = posix_engine_test::program_name();
    const char* functions[] = {"fixed_program::fixed_step(probe*)", "fixed_program::fixed_entry(probe*)"};
    for (int frame = 0; frame < 2; ++frame) {
        SCOPED_TRACE(frame);
        EXPECT_EQ(symbols.name(p.frame_of(frame)), program + "!" + functions[frame]);
        ULONG line = 0;
        EXPECT_EQ(symbols.file(p.frame_of(frame), &line), p.call_of(frame).file);
        EXPECT_EQ(line, static_cast<ULONG>(p.call_of(frame).line));
    }
    // And a library it loads is still found at its own place.
    probe q;
    q.capture = &posix_engine_test::capture_stack;
    known::call_through_namespaces(&q);
    EXPECT_EQ(symbols.name(q.frame_of(2)), "libposix_engine_known.so!known::call_through_namespaces(probe*)");
}

} // namespace
