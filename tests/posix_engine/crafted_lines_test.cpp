// Line programs whose numbers run past what they can hold: a line number,
// an address or a file number that would wrap round names nothing, where it
// would once have named a line it made up (and a line number's signed
// overflow was undefined behaviour).
#include <gtest/gtest.h>

#include <dwarf.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crafted_object.hpp"
#include "platform/posix/debug_engine/loaded_module.hpp"

namespace {

using namespace korvo::calltrail::posix_engine;

// The line at the middle of the crafted code, or 0.
std::uint32_t line_in_middle(const crafted::bytes& image) {
    loaded_module module(describe_image(image.data(), image.size(), "crafted"));
    source_location location;
    return module.line_at(crafted::code_start + 0x800, location) ? location.line : 0;
}

crafted::bytes program(void (*write)(crafted::writer&)) {
    crafted::writer w;
    write(w);
    return w.out;
}

TEST(posix_engine_crafted_lines, numbers_that_would_wrap_round_name_no_line) {
    constexpr std::int64_t most = INT64_MAX;
    const struct {
        const char* name;
        crafted::bytes image;
        std::uint32_t line;
    } cases[] = {
        {"no number out of range", crafted::unit_with_line_program({}), 1},
        // 1 + (2^63 - 1) + (2^63 - 1) + 42 wraps round to 41.
        {"a line number past the largest", crafted::unit_with_line_program(program([](crafted::writer& w) {
             for (std::int64_t step : {most, most, std::int64_t{42}}) {
                 w.u8(DW_LNS_advance_line);
                 w.sleb(step);
             }
         })),
         0},
        // 2^64 - 256 + 256 + code_start wraps round to code_start.
        {"an address past the top of the address space",
         crafted::unit_with_line_program(program([](crafted::writer& w) {
                                             for (int b : {0, 9, int{DW_LNE_set_address}}) w.u8(b);
                                             w.fixed(~std::uint64_t{0} - 255, 8);
                                             w.u8(DW_LNS_advance_line);
                                             w.sleb(41);
                                             w.u8(DW_LNS_advance_pc);
                                             w.uleb(256 + crafted::code_start);
                                             w.u8(DW_LNS_copy);
                                             w.u8(DW_LNS_advance_pc);
                                             w.uleb(crafted::code_end - crafted::code_start);
                                             for (int b : {0, 1, int{DW_LNE_end_sequence}}) w.u8(b);
                                         }),
                                         false),
         0},
        // 2^32 + 1 cut to 32 bits is file 1.
        {"a file number past what a row holds", crafted::unit_with_line_program(program([](crafted::writer& w) {
             w.u8(DW_LNS_set_file);
             w.uleb((std::uint64_t{1} << 32) + 1);
         })),
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(line_in_middle(c.image), c.line);
    }
}

// Units named by .debug_aranges in any order, or more than once, each keep
// their own lines.
TEST(posix_engine_crafted_lines, address_tables_in_any_order_name_each_unit) {
    for (const std::vector<int>& order : {std::vector<int>{0, 1}, {1, 0}, {1, 0, 1}, {0, 1, 1}, {1, 0, 0, 1}}) {
        const crafted::bytes image = crafted::units_listed_in(order);
        loaded_module module(describe_image(image.data(), image.size(), "crafted"));
        for (std::uint32_t unit = 0; unit < 2; ++unit) {
            source_location location;
            EXPECT_TRUE(module.line_at(crafted::code_start + unit * 0x800 + 0x10, location) &&
                        location.line == unit + 1)
                << order.size() << " sets, the first naming unit " << order[0] << "; unit " << unit;
        }
    }
}

} // namespace
