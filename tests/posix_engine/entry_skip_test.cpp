// The walk for inlined calls passes over most entries by a size that their
// abbreviation knows before any entry is read, and reads the others by the
// kind of each form. Wherever that is done it must end where reading every
// attribute by its form ends, give the same values, and fail exactly where
// reading would: for every form, unit shape and cut of the bytes.
#include <gtest/gtest.h>

#include <dwarf.h>
#include <zlib.h>

#include <cstdint>
#include <climits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/posix/dwarf/abbreviation_table.hpp"
#include "platform/posix/dwarf/attributes.hpp"
#include "platform/posix/dwarf/dwarf_cursor.hpp"
#include "platform/posix/object/section_data.hpp"

namespace {

using namespace korvo::calltrail::posix_engine;
using bytes = std::vector<std::uint8_t>;

const std::uint32_t forms[] = {
    DW_FORM_addr,      DW_FORM_data1,        DW_FORM_data2,          DW_FORM_data4,      DW_FORM_data8,
    DW_FORM_data16,    DW_FORM_ref1,         DW_FORM_ref2,           DW_FORM_ref4,       DW_FORM_ref8,
    DW_FORM_ref_udata, DW_FORM_udata,        DW_FORM_sdata,          DW_FORM_strx,       DW_FORM_strx1,
    DW_FORM_strx2,     DW_FORM_strx3,        DW_FORM_strx4,          DW_FORM_addrx,      DW_FORM_addrx1,
    DW_FORM_addrx3,    DW_FORM_strp,         DW_FORM_line_strp,      DW_FORM_sec_offset, DW_FORM_ref_addr,
    DW_FORM_flag,      DW_FORM_flag_present, DW_FORM_implicit_const, DW_FORM_string,     DW_FORM_block1,
    DW_FORM_block2,    DW_FORM_block4,       DW_FORM_block,          DW_FORM_exprloc,    DW_FORM_indirect,
    DW_FORM_ref_sig8,  DW_FORM_GNU_ref_alt,  DW_FORM_GNU_strp_alt,   DW_FORM_rnglistx,   0x99,
};

struct unit_shape {
    std::uint16_t version;
    std::uint8_t address_size;
    bool offset64;
};

// Shapes a real unit has, and two whose addresses cannot be read.
const unit_shape shapes[] = {{2, 8, false}, {4, 4, false}, {5, 8, false}, {5, 8, true}, {2, 0, false}, {3, 16, true}};

void add_uleb(bytes& out, std::uint64_t value) {
    do {
        std::uint8_t byte = value & 0x7f;
        value >>= 7;
        if (value != 0) byte |= 0x80;
        out.push_back(byte);
    } while (value != 0);
}

// Ends the abbreviation being written (its attributes, its table) and reads
// it back, from `section`, as the table's entry 1.
const abbreviation* read_back(bytes& abbrev, std::unique_ptr<section_data>& section, abbreviation_table& table) {
    abbrev.insert(abbrev.end(), {0, 0, 0});
    section = section_data::plain(abbrev.data(), abbrev.size());
    std::size_t used = 0;
    return table.read(section.get(), 0, abbrev.size(), used) ? table.find(1) : nullptr;
}

// An entry's bytes: small values mostly, so that blocks and numbers end
// inside.
bytes entry_bytes(std::mt19937& random) {
    bytes info(80);
    for (std::uint8_t& b : info) b = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : random() % 8);
    return info;
}

unit_header unit_of(const unit_shape& shape) {
    unit_header unit;
    unit.version = shape.version;
    unit.address_size = shape.address_size;
    unit.offset64 = shape.offset64;
    return unit;
}

TEST(posix_engine_entry_skip, passing_over_an_entry_ends_where_reading_it_does) {
    std::mt19937 random(17);
    int passed = 0;
    int failed = 0;
    for (int round = 0; round < 4000; ++round) {
        // One abbreviation of one to six forms, some of them repeated.
        bytes abbrev;
        add_uleb(abbrev, 1);
        add_uleb(abbrev, DW_TAG_variable);
        abbrev.push_back(0);
        const std::size_t count = 1 + random() % 6;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t form = forms[random() % (sizeof forms / sizeof forms[0])];
            add_uleb(abbrev, DW_AT_name + i);
            add_uleb(abbrev, form);
            if (form == DW_FORM_implicit_const) abbrev.push_back(0x7f);
        }
        std::unique_ptr<section_data> abbrev_section;
        abbreviation_table table;
        const abbreviation* entry = read_back(abbrev, abbrev_section, table);
        ASSERT_NE(entry, nullptr);

        // Cut anywhere.
        const bytes info = entry_bytes(random);
        const std::unique_ptr<section_data> info_section = section_data::plain(info.data(), info.size());
        const std::size_t limit = random() % (info.size() + 1);
        const unit_header unit = unit_of(shapes[random() % (sizeof shapes / sizeof shapes[0])]);

        // Each attribute read by its form and by the kind the table found for
        // it: the same value from the same bytes, failing alike.
        dwarf_cursor read(info_section.get(), 0, limit);
        dwarf_cursor by_kind(info_section.get(), 0, limit);
        bool read_ok = true;
        const attribute_layout* layouts = table.layouts(*entry);
        for (std::uint32_t i = 0; i < entry->layout_count && read_ok; ++i) {
            attribute_value value;
            attribute_value kind_value;
            read_ok = read_attribute(read, layouts[i].form, layouts[i].implicit_value(), unit, value);
            ASSERT_EQ(read_attribute(by_kind, layouts[i], unit, kind_value), read_ok) << "round " << round;
            if (!read_ok) break;
            ASSERT_EQ(by_kind.position(), read.position()) << "round " << round;
            ASSERT_EQ(kind_value.form, value.form) << "round " << round;
            ASSERT_EQ(kind_value.value, value.value) << "round " << round;
            ASSERT_EQ(kind_value.inline_string, value.inline_string) << "round " << round;
        }
        dwarf_cursor skipped(info_section.get(), 0, limit);
        const bool skip_ok = skip_entry(skipped, *entry, layouts, unit);
        ASSERT_EQ(skip_ok, read_ok) << "round " << round;
        if (read_ok) {
            ASSERT_EQ(skipped.position(), read.position()) << "round " << round;
            ++passed;
        } else {
            ++failed;
        }
    }
    // Both outcomes were met many times over.
    EXPECT_GT(passed, 500);
    EXPECT_GT(failed, 500);
}

// A declaration is passed over with its parameters by the sibling its
// abbreviation says where to find: that must be the value reading the entry
// gives, found only where it is the entry's one sibling after forms of sizes
// known before reading.
TEST(posix_engine_entry_skip, a_sibling_found_by_its_place_is_the_one_reading_gives) {
    std::mt19937 random(29);
    int found = 0;
    int not_found = 0;
    for (int round = 0; round < 4000; ++round) {
        bytes abbrev;
        add_uleb(abbrev, 1);
        add_uleb(abbrev, DW_TAG_subprogram);
        abbrev.push_back(1);
        const std::size_t count = 1 + random() % 6;
        std::vector<std::uint32_t> names;
        bool declaration = false;
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned pick = random() % 4;
            const std::uint32_t name = pick == 0 ? DW_AT_sibling : pick == 1 ? DW_AT_declaration : DW_AT_name;
            std::uint32_t form = forms[random() % (sizeof forms / sizeof forms[0])];
            if (pick == 0 && random() % 2 == 0) form = random() % 2 == 0 ? DW_FORM_ref4 : DW_FORM_ref1;
            if (pick == 1 && random() % 2 == 0) form = DW_FORM_flag_present;
            declaration |= name == DW_AT_declaration && form == DW_FORM_flag_present;
            names.push_back(name);
            add_uleb(abbrev, name);
            add_uleb(abbrev, form);
            if (form == DW_FORM_implicit_const) abbrev.push_back(0x7f);
        }
        std::unique_ptr<section_data> abbrev_section;
        abbreviation_table table;
        const abbreviation* entry = read_back(abbrev, abbrev_section, table);
        ASSERT_NE(entry, nullptr);
        ASSERT_EQ(entry->declaration, declaration) << "round " << round;

        const bytes info = entry_bytes(random);
        const std::unique_ptr<section_data> info_section = section_data::plain(info.data(), info.size());
        const unit_header unit = unit_of(shapes[random() % 4]);

        // Whether the one sibling comes after forms of sizes known before
        // reading, by the kinds alone; then where it lies and what it says,
        // read form by form.
        const attribute_layout* layouts = table.layouts(*entry);
        int siblings = 0;
        bool sized_before = true;
        bool sibling_sized_before = false;
        bool sibling_is_number = false;
        for (std::uint32_t i = 0; i < entry->layout_count; ++i) {
            if (names[i] == DW_AT_sibling) {
                ++siblings;
                sibling_sized_before = sized_before;
                sibling_is_number = layouts[i].kind == form_kind::number;
            }
            switch (layouts[i].kind) {
            case form_kind::number:
            case form_kind::data16:
            case form_kind::flag_present:
            case form_kind::implicit_const:
            case form_kind::address:
            case form_kind::offset:
            case form_kind::reference:
                break;
            default:
                sized_before = false;
            }
        }
        dwarf_cursor read(info_section.get(), 0, info.size());
        std::size_t sibling_at = 0;
        std::uint64_t sibling = 0;
        bool read_ok = true;
        for (std::uint32_t i = 0; i < entry->layout_count && read_ok; ++i) {
            const std::size_t at = read.position();
            attribute_value value;
            read_ok = read_attribute(read, layouts[i], unit, value);
            if (names[i] == DW_AT_sibling) {
                sibling_at = at;
                sibling = value.value;
            }
        }
        const bool findable = siblings == 1 && sibling_sized_before && sibling_is_number;
        ASSERT_EQ(entry->sibling_bytes != 0, findable) << "round " << round;
        if (!findable || !read_ok) {
            ++not_found;
            continue;
        }
        const unsigned offset = unit.offset64 ? 8 : 4;
        const unsigned reference = unit.version <= 2 ? unit.address_size : offset;
        const std::uint64_t place = std::uint64_t{entry->sibling_fixed_bytes} +
                                    std::uint64_t{entry->sibling_address_forms} * unit.address_size +
                                    std::uint64_t{entry->sibling_offset_forms} * offset +
                                    std::uint64_t{entry->sibling_reference_forms} * reference;
        ASSERT_EQ(place, sibling_at) << "round " << round;
        ASSERT_EQ(little_endian(info.data() + place, entry->sibling_bytes), sibling) << "round " << round;
        ++found;
    }
    EXPECT_GT(found, 300);
    EXPECT_GT(not_found, 300);
}

// Tables shorter and longer than the window they are first read from, cut
// short by the section's end, or in a stream that breaks a page past them.
TEST(posix_engine_entry_skip, a_table_reads_alike_however_long_and_wherever_it_lies) {
    for (const std::uint64_t entries : {3, 1500, 9000}) {
        for (const std::string how : {"whole", "cut", "broken stream"}) {
            bytes section(777, 0x55);
            for (std::uint64_t code = 1; code <= entries; ++code) {
                add_uleb(section, code);
                add_uleb(section, code % 2 != 0 ? DW_TAG_variable : DW_TAG_subprogram);
                section.push_back(code % 3 == 0);
                for (std::uint64_t i = 0; i < code % 5; ++i) section.insert(section.end(), {0x21, DW_FORM_udata});
                section.insert(section.end(), {0, 0});
            }
            if (how != "cut") section.push_back(0);
            const std::size_t table_end = section.size();
            std::unique_ptr<section_data> readable = section_data::plain(section.data(), section.size());
            std::mt19937 random(3);
            bytes stream(compressBound(section.size() + 65536));
            if (how == "broken stream") {
                for (int i = 0; i < 65536; ++i) section.push_back(static_cast<std::uint8_t>(random()));
                uLongf size = stream.size();
                ASSERT_EQ(compress(stream.data(), &size, section.data(), section.size()), Z_OK);
                stream.resize(size - 60000);
                readable = section_data::zlib(stream.data(), stream.size(), section.size());
            }
            SCOPED_TRACE(std::to_string(entries) + " entries, " + how);
            abbreviation_table table;
            std::size_t used = 0;
            ASSERT_EQ(table.read(readable.get(), 777, section.size() - 777, used), how != "cut");
            if (how == "cut") continue;
            EXPECT_EQ(used, table_end - 777);
            for (std::uint64_t code = 1; code <= entries; ++code) {
                const abbreviation* entry = table.find(code);
                ASSERT_TRUE(entry != nullptr && entry->has_children == (code % 3 == 0)) << code;
                ASSERT_EQ(entry->tag, code % 2 != 0 ? DW_TAG_variable : DW_TAG_subprogram);
                ASSERT_EQ(entry->layout_count, code % 5);
            }
        }
    }
}

void put_sleb(bytes& out, std::int64_t value) {
    for (bool more = true; more;) {
        const auto byte = static_cast<std::uint8_t>(value & 0x7f);
        value >>= 7;
        more = !((value == 0 && (byte & 0x40) == 0) || (value == -1 && (byte & 0x40) != 0));
        out.push_back(static_cast<std::uint8_t>(byte | (more ? 0x80 : 0)));
    }
}

// An abbreviation keeps its implicit constants whole, however wide, and a
// form too large for any reader to know reads as one no reader knows, not as
// whichever form its low bits name.
TEST(posix_engine_entry_skip, implicit_constants_keep_every_bit_and_unknown_forms_stay_unknown) {
    const std::int64_t constants[] = {0, 1, -1, 0x7fffffff, -0x80000000LL, INT64_MAX, INT64_MIN, 0x123456789abcdefLL};
    const std::uint64_t unknown_forms[] = {0xffff, 0x10000 | DW_FORM_data1, (std::uint64_t{1} << 32) | DW_FORM_addr};
    bytes table;
    add_uleb(table, 1);
    add_uleb(table, DW_TAG_variable);
    table.push_back(0);
    for (const std::int64_t value : constants) {
        add_uleb(table, DW_AT_const_value);
        add_uleb(table, DW_FORM_implicit_const);
        put_sleb(table, value);
    }
    for (const std::uint64_t form : unknown_forms) {
        add_uleb(table, DW_AT_name);
        add_uleb(table, form);
    }
    std::unique_ptr<section_data> section;
    abbreviation_table read;
    const abbreviation* entry = read_back(table, section, read);
    ASSERT_NE(entry, nullptr);
    const std::size_t constant_count = sizeof constants / sizeof constants[0];
    ASSERT_EQ(entry->layout_count, constant_count + sizeof unknown_forms / sizeof unknown_forms[0]);
    const attribute_layout* layouts = read.layouts(*entry);
    const bytes info(64, 0);
    std::unique_ptr<section_data> info_section = section_data::plain(info.data(), info.size());
    const unit_header unit = unit_of({5, 8, false});
    for (std::uint32_t i = 0; i < entry->layout_count; ++i) {
        SCOPED_TRACE(i);
        dwarf_cursor cursor(info_section.get(), 0, info.size());
        attribute_value value;
        if (i < constant_count) {
            EXPECT_EQ(layouts[i].kind, form_kind::implicit_const);
            EXPECT_EQ(layouts[i].implicit_value(), constants[i]);
            ASSERT_TRUE(read_attribute(cursor, layouts[i], unit, value));
            EXPECT_EQ(value.value, static_cast<std::uint64_t>(constants[i]));
        } else {
            EXPECT_EQ(layouts[i].kind, form_kind::other);
            EXPECT_FALSE(read_attribute(cursor, layouts[i], unit, value));
        }
    }
}

} // namespace
