// The walker's decoding units over crafted bytes: CFA programs (row_at),
// DWARF expressions (evaluate), the unwind table and records of an object
// (find_frame_description), rules as the cache keeps them (cache_word,
// ordinary_step) and the cache itself, each with the inputs it must refuse.
#include "platform/posix/unwind/cfa_program.hpp"
#include "platform/posix/unwind/dwarf_expression.hpp"
#include "platform/posix/unwind/eh_frame.hpp"
#include "platform/posix/unwind/rule_cache.hpp"
#include "platform/posix/unwind/x86_64_packed_rule.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

using namespace korvo::calltrail::posix_unwind;

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr tracked_set tracked = {{3, 6, 7, 16}}; // rbx, rbp, rsp, the return address

struct program_case {
    const char* what;
    bytes program;     // the FDE's; the CIE's sets CFA = rsp + 8, return address at CFA - 8
    std::uintptr_t pc; // from the function's start, code alignment 1
    bool ok;
    std::uint16_t base; // what the row must say where it is accepted
    std::int32_t offset;
    std::int32_t rbp_slot; // rbp's offset from the CFA, 0 for none
};

TEST(row_at, follows_programs_and_refuses_what_it_cannot_follow) {
    const bytes cie = {0x0c, 7, 8, 0x90, 1}; // def_cfa rsp+8; offset r16 at cfa-8
    const program_case cases[] = {
        {"the CIE's row", {}, 0, true, 7, 8, 0},
        {"push rbp, then mov rsp,rbp", {0x41, 0x0e, 16, 0x86, 2, 0x43, 0x0d, 6}, 5, true, 6, 16, -16},
        {"before the advance", {0x41, 0x0e, 16, 0x86, 2}, 0, true, 7, 8, 0},
        {"remembered and restored", {0x0a, 0x0e, 32, 0x41, 0x0b}, 3, true, 7, 8, 0},
        {"remembered five deep", {0x0a, 0x0a, 0x0a, 0x0a, 0x0a}, 0, false, 0, 0, 0},
        {"restored without remembering", {0x0b}, 0, false, 0, 0, 0},
        {"an unknown instruction", {0x1d}, 0, false, 0, 0, 0},
        {"a cut uleb128", {0x0e, 0x80}, 0, false, 0, 0, 0},
        {"an offset past 32 bits", {0x0e, 0x80, 0x80, 0x80, 0x80, 0x10}, 0, false, 0, 0, 0},
        {"a register past 16 bits", {0x0c, 0x80, 0x80, 0x04, 8}, 0, false, 0, 0, 0},
    };
    for (const program_case& c : cases) {
        frame_description d;
        d.initial_program = cie.data();
        d.initial_program_end = cie.data() + cie.size();
        d.program = c.program.data();
        d.program_end = c.program.data() + c.program.size();
        d.data_alignment = -8;
        d.pc_begin = 0x1000;
        unwind_row row;
        ASSERT_EQ(row_at(d, 0x1000 + c.pc, tracked, row), c.ok) << c.what;
        if (!c.ok) continue;
        EXPECT_EQ(row.cfa.base, c.base) << c.what;
        EXPECT_EQ(row.cfa.offset, c.offset) << c.what;
        EXPECT_EQ(row.rules[3].kind, rule_kind::offset) << c.what;
        EXPECT_EQ(row.rules[1].kind, c.rbp_slot != 0 ? rule_kind::offset : rule_kind::same_value) << c.what;
        if (c.rbp_slot != 0) {
            EXPECT_EQ(row.rules[1].value, c.rbp_slot) << c.what;
        }
    }
}

TEST(evaluate, computes_within_its_stack_and_reads_only_the_readable_range) {
    alignas(8) std::uintptr_t stack[4] = {11, 22, 33, 44};
    const auto low = reinterpret_cast<std::uintptr_t>(stack);
    std::uintptr_t registers[17] = {};
    registers[7] = low; // rsp
    const expression_context context{registers, 1u << 7, 17, low, low + sizeof stack};
    const struct {
        const char* what;
        bytes block; // its length first
        bool ok;
        std::uintptr_t value;
    } cases[] = {
        {"rsp + 16", {2, 0x77, 16}, true, low + 16},
        {"a word of the stack", {3, 0x77, 8, 0x06}, true, 22},
        {"arithmetic", {5, 0x35, 0x33, 0x1e, 0x31, 0x1c}, true, 14},
        {"a read past the range", {3, 0x77, 32, 0x06}, false, 0},
        {"a read below it", {3, 0x77, 0x78, 0x06}, false, 0},
        {"a read of the last bytes", {3, 0x77, 28, 0x06}, false, 0},
        {"an unknown register", {2, 0x76, 0}, false, 0},
        {"nine values on an eight-deep stack", {9, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30}, false, 0},
        {"a pop of an empty stack", {1, 0x13}, false, 0},
        {"an unknown operation", {1, 0xe0}, false, 0},
        {"a block longer than 256 bytes", {0x81, 0x02, 0x30}, false, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> block = c.block;
        block.resize(block.size() + 300, 0x96); // nops past the block's end, which must not run
        std::uintptr_t value = 0;
        ASSERT_EQ(evaluate(block.data(), context, nullptr, value), c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.what;
        }
    }
}

// An object in memory: .eh_frame_hdr with one entry, a CIE and an FDE that
// covers [code, code + 16).
struct crafted_object {
    alignas(8) std::uint8_t image[256] = {};
    std::uintptr_t base() const { return reinterpret_cast<std::uintptr_t>(image); }
    std::uintptr_t code() const { return base() + 192; }

    template <class T> void put(std::size_t at, T value) { std::memcpy(image + at, &value, sizeof value); }

    crafted_object(std::uint8_t cie_version, std::uint32_t count, std::int32_t first_entry) {
        const std::uint8_t header[] = {1, 0x1b, 0x03, 0x3b};
        std::memcpy(image, header, sizeof header);
        put<std::int32_t>(4, 64 - 4);
        put<std::uint32_t>(8, count);
        put<std::int32_t>(12, first_entry);
        put<std::int32_t>(16, 96); // the FDE
        const std::uint8_t cie[] = {0, 0, 0, 0, cie_version, 'z', 'R', 0, 1, 0x78, 16, 1, 0x00, 0x0c, 7, 8, 0x90, 1};
        put<std::uint32_t>(64, sizeof cie);
        std::memcpy(image + 68, cie, sizeof cie);
        put<std::uint32_t>(96, 4 + 16 + 1 + 3);
        put<std::uint32_t>(100, 100 - 64);
        put<std::uint64_t>(104, code());
        put<std::uint64_t>(112, 16);
        const std::uint8_t program[] = {0, 0x41, 0x0e, 16};
        std::memcpy(image + 120, program, sizeof program);
    }
    loaded_object object() const { return loaded_object{base(), base() + sizeof image, 0, image}; }
};

TEST(find_frame_description, finds_the_record_covering_a_pc_and_refuses_damaged_tables) {
    const struct {
        const char* what;
        std::uint8_t cie_version;
        std::uint32_t count;
        std::int32_t first_entry;
        std::uintptr_t pc; // from the code's start
        bool ok;
    } cases[] = {
        {"inside", 1, 1, 192, 5, true},
        {"the last byte", 1, 1, 192, 15, true},
        {"past the range", 1, 1, 192, 16, false},
        {"before the first entry", 1, 1, 192 + 8, 5, false},
        {"more entries than the object holds", 1, 1000, 192, 5, false},
        {"no entries", 1, 0, 192, 5, false},
        {"a CIE of version 2", 2, 1, 192, 5, false},
    };
    for (const auto& c : cases) {
        const crafted_object crafted(c.cie_version, c.count, c.first_entry);
        frame_description found;
        ASSERT_EQ(find_frame_description(crafted.object(), crafted.code() + c.pc, found), c.ok) << c.what;
        if (!c.ok) continue;
        EXPECT_EQ(found.pc_begin, crafted.code()) << c.what;
        EXPECT_EQ(found.data_alignment, -8) << c.what;
        EXPECT_EQ(found.program_end - found.program, 3) << c.what;
    }
}

packed_rule rule(cfa_base base, std::int32_t offset, std::int8_t return_address, std::int8_t rbp, std::int8_t rbx) {
    packed_rule r;
    r.base = base;
    r.offset = offset;
    r.return_address = return_address;
    r.rbp = rbp;
    r.rbx = rbx;
    return r;
}

// Every rule the cache accepts comes back whole, with its object's index;
// the loop over ordinary frames steps by the ordinary ones only, reading
// the stack between its pointer and its top alone.
TEST(cached_rule, keeps_each_rule_whole_and_steps_only_by_ordinary_ones_within_the_stack) {
    alignas(8) std::uintptr_t stack[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    const auto at = [&stack](unsigned word) { return reinterpret_cast<std::uintptr_t>(&stack[word]); };
    const struct {
        const char* what;
        packed_rule rule;
        bool kept;
        bool steps;                // from sp = &stack[2], rbp = &stack[4], rbx = 200, top = &stack[8]
        std::uintptr_t pc, bp, bx; // after the step; bp 0 where it keeps its value
        std::uintptr_t rbp = 32;   // bytes above &stack[0]
    } cases[] = {
        {"rsp + 16, nothing saved", rule(cfa_base::rsp, 16, -1, keep, keep), true, true, 3, 0, 200},
        {"rbp + 16, rbp and rbx saved", rule(cfa_base::rbp, 16, -1, -2, -3), true, true, 5, 4, 3},
        {"rbp + 16, rbp saved, popped", rule(cfa_base::rbp, 16, -1, -2, keep), true, true, 2, 0, 200, 8},
        {"rbp + 16 past the top", rule(cfa_base::rbp, 16, -1, -2, keep), true, false, 0, 0, 0, 56},
        {"rbp + 16 at sp", rule(cfa_base::rbp, 16, -1, -2, keep), true, false, 0, 0, 0, 0},
        {"rbp + 16 misaligned", rule(cfa_base::rbp, 16, -1, -2, keep), true, false, 0, 0, 0, 36},
        {"rbp + 24, rbp saved", rule(cfa_base::rbp, 24, -1, -2, keep), true, true, 6, 5, 200},
        {"rbp + 16, rbp saved further down", rule(cfa_base::rbp, 16, -1, -3, keep), true, true, 5, 3, 200},
        {"a slot below sp: popped", rule(cfa_base::rsp, 8, -1, -2, keep), true, true, 2, 0, 200},
        {"the CFA at the top", rule(cfa_base::rsp, 48, -1, keep, keep), true, true, 7, 0, 200},
        {"the CFA past the top", rule(cfa_base::rsp, 56, -1, keep, keep), true, false, 0, 0, 0},
        {"the CFA at sp", rule(cfa_base::rsp, 0, -1, keep, keep), true, false, 0, 0, 0},
        {"a misaligned CFA", rule(cfa_base::rsp, 12, -1, keep, keep), true, false, 0, 0, 0},
        {"the return address elsewhere", rule(cfa_base::rsp, 16, -2, keep, keep), true, false, 0, 0, 0},
        {"a slot above the CFA", rule(cfa_base::rsp, 16, -1, 1, keep), true, false, 0, 0, 0},
        {"a lost register", rule(cfa_base::rsp, 16, -1, lost, keep), true, false, 0, 0, 0},
        {"counted from rbx", rule(cfa_base::rbx, 16, -1, keep, keep), true, false, 0, 0, 0},
        {"a signal frame", rule(cfa_base::signal_frame, 0, lost, keep, keep), true, false, 0, 0, 0},
        {"the outermost frame", rule(cfa_base::outermost, 0, lost, keep, keep), true, false, 0, 0, 0},
        {"a frame of 8 MiB", rule(cfa_base::rsp, 1 << 23, -1, keep, keep), false, false, 0, 0, 0},
        {"a frame of almost 8 MiB", rule(cfa_base::rsp, (1 << 23) - 8, -1, keep, keep), true, false, 0, 0, 0},
        {"a negative offset", rule(cfa_base::rbp, -(1 << 23) + 8, -1, keep, keep), true, false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        std::uint64_t word = 0;
        ASSERT_EQ(cache_word(c.rule, 1023, word), c.kept) << c.what;
        if (!c.kept) continue;
        const packed_rule back = cached_rule(word);
        EXPECT_EQ(cached_object(word), 1023u) << c.what;
        EXPECT_EQ(back.base, c.rule.base) << c.what;
        if (back.base == cfa_base::signal_frame || back.base == cfa_base::outermost) continue;
        EXPECT_EQ(back.word(), c.rule.word()) << c.what;
        std::uintptr_t pc = 0, sp = at(2), bp = at(0) + c.rbp, bx = 200;
        const std::uintptr_t before_bp = bp;
        ASSERT_EQ(ordinary_step(pc, sp, bp, bx, at(8), word), c.steps) << c.what;
        if (!c.steps) {
            EXPECT_TRUE(pc == 0 && sp == at(2) && bp == before_bp && bx == 200) << c.what << ": changed the registers";
            continue;
        }
        EXPECT_EQ(pc, c.pc) << c.what;
        EXPECT_EQ(bp, c.bp == 0 ? before_bp : c.bp) << c.what;
        EXPECT_EQ(bx, c.bx) << c.what;
    }
}

// The cache keeps every rule it is given while they fit in it, however the
// addresses fall: runs a few bytes apart (a deep stack of small functions),
// the same function in libraries at page boundaries, sets full of another
// epoch's rules. A rule cached again replaces the old one; none is found in
// another epoch. Nearby code keeps to few of the cache's pages, each of which
// a process's first walk faults in.
TEST(rule_cache, keeps_what_fits_wherever_the_addresses_fall) {
    const struct {
        const char* what;
        std::uintptr_t first;
        std::uintptr_t stride;
        unsigned count;
        std::uint64_t epoch;
    } cases[] = {
        {"a chain of 16-byte functions", 0x55d0c0de1009, 16, 64, 1},
        {"a chain of 32-byte functions", 0x55d0c0e20015, 32, 200, 2},
        {"return addresses a byte apart", 0x7f13a0004c21, 1, 240, 3},
        {"more return addresses than a page of sets holds", 0x7f13a8000c03, 8, 400, 4},
        {"one function in libraries 20 KiB apart", 0x7f13b0000a4d, 20 << 10, 200, 5},
        {"one function in libraries 2 MiB apart", 0x7f2000000a4d, 2 << 20, 200, 6},
        {"the first chain in the next epoch", 0x55d0c0de1009, 16, 64, 7},
    };
    // As the directory mixes its epochs.
    const auto salt = [](std::uint64_t epoch) { return epoch * 0xff51afd7ed558ccdu; };
    const auto rule_of = [](std::uint64_t epoch, unsigned i, unsigned round) { return epoch << 20 | i << 2 | round; };
    for (const auto& c : cases) {
        for (unsigned round = 0; round < 2; ++round)
            for (unsigned i = 0; i < c.count; ++i)
                cache_rule(c.first + i * c.stride, salt(c.epoch), rule_of(c.epoch, i, round));
        unsigned kept = 0, elsewhere = 0;
        for (unsigned i = 0; i < c.count; ++i) {
            std::uint64_t rule = 0;
            kept += find_cached_rule(c.first + i * c.stride, salt(c.epoch), rule) && rule == rule_of(c.epoch, i, 1);
            elsewhere += find_cached_rule(c.first + i * c.stride, salt(c.epoch + 100), rule);
        }
        EXPECT_EQ(kept, c.count) << c.what;
        EXPECT_EQ(elsewhere, 0u) << c.what;
    }
    // Ten return addresses within 8 KiB of code, twice: a program's and a
    // library's frames of a first walk.
    std::set<std::uintptr_t> pages;
    for (const std::uintptr_t code : {std::uintptr_t{0x5612f00a3000}, std::uintptr_t{0x7f61c4c3a000}})
        for (std::uintptr_t offset = 0x123; offset < 0x2000; offset += 0x321)
            pages.insert(reinterpret_cast<std::uintptr_t>(rule_cache_detail::entry_of(code + offset)) >> 12);
    EXPECT_LE(pages.size(), 4u);
}

} // namespace
