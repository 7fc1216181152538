#ifndef KORVO_CALLTRAIL_POSIX_DWARF_ABBREVIATION_TABLE_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_ABBREVIATION_TABLE_HPP

// The abbreviations of a unit: for each entry code, its tag and the names and
// forms of its attributes, in order.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// How an attribute's bytes lie, known from its form alone: a walk passes
// over or reads an attribute by its kind without asking the form again.
enum class form_kind : std::uint8_t {
    number,         // `bytes` bytes, 1 to 8, little-endian
    data16,         // 16 bytes, no value kept
    flag_present,   // no bytes, the value 1
    implicit_const, // no bytes, the value the abbreviation holds
    address,        // the unit's address size
    offset,         // the unit's offset size
    reference,      // DW_FORM_ref_addr: the address size before version 3
    uleb,
    sleb,
    string,
    block1,
    block2,
    block4,
    block,
    other, // DW_FORM_indirect, or a form not known
};

// Sixteen bytes: a unit of the C library has a table of thousands. No form
// needs more than 16 bits; a larger one, which no reader knows, is kept as
// 0xffff, which none knows either.
struct attribute_layout {
    std::uint32_t name;
    std::uint32_t implicit_low;
    std::uint32_t implicit_high;
    std::uint16_t form;
    form_kind kind;
    std::uint8_t bytes;

    std::int64_t implicit_value() const noexcept {
        return static_cast<std::int64_t>(std::uint64_t{implicit_high} << 32 | implicit_low);
    }
};

struct abbreviation {
    std::uint64_t code = 0;
    std::uint32_t tag = 0;
    bool has_children = false;
    std::uint32_t first_layout = 0;
    std::uint32_t layout_count = 0;
    // The size of an entry whose forms all have sizes known before reading
    // (fixed_size): so many bytes, and so many forms of the unit's address
    // size, offset size, and reference size.
    bool fixed_size = true;
    std::uint32_t fixed_bytes = 0;
    std::uint16_t address_forms = 0;
    std::uint16_t offset_forms = 0;
    std::uint16_t reference_forms = 0;
    // Whether an entry can say where code is: it has DW_AT_ranges, or both
    // DW_AT_low_pc and DW_AT_high_pc.
    bool may_have_code = false;
    // A declaration (DW_AT_declaration as flag_present), whose children are
    // its parameters, and where its DW_AT_sibling lies when the forms before
    // it have sizes known before reading (counted as for fixed_size) and its
    // own is a number of `sibling_bytes`; 0 bytes where not.
    bool declaration = false;
    std::uint8_t sibling_bytes = 0;
    std::uint16_t sibling_address_forms = 0;
    std::uint16_t sibling_offset_forms = 0;
    std::uint16_t sibling_reference_forms = 0;
    std::uint32_t sibling_fixed_bytes = 0;
};

class abbreviation_table {
public:
    // Reads the table at `offset`, giving up after `most_bytes`; false for
    // a damaged or overlong table. `used` tells how many bytes it took.
    bool read(section_data* abbrev, std::uint64_t offset, std::size_t most_bytes, std::size_t& used);
    const abbreviation* find(std::uint64_t code) const noexcept {
        if (dense_)
            return code != 0 && code <= entries_.size() ? &entries_[static_cast<std::size_t>(code - 1)] : nullptr;
        return find_sparse(code);
    }
    const attribute_layout* layouts(const abbreviation& a) const noexcept { return layouts_.data() + a.first_layout; }
    // Whether any entry of a unit that uses the table can be inlined code:
    // one without can hold no inlined call.
    bool has_inlined_calls() const noexcept { return has_inlined_calls_; }

private:
    const abbreviation* find_sparse(std::uint64_t code) const noexcept;
    class table_bytes;
    bool parse(table_bytes& in, std::size_t& used);

    std::vector<abbreviation> entries_;
    std::vector<attribute_layout> layouts_;
    // Codes 1, 2, 3... as compilers number them: found by index.
    bool dense_ = true;
    bool has_inlined_calls_ = false;
};

// The tables of one object, each read once however many units share it.
// What all of them may cost together is bounded by the section's size (twice
// over), so that tables overlapping one another, which no toolchain writes,
// cannot make reading them quadratic.
class abbreviation_cache {
public:
    // The table at `offset`, or null when it cannot be read.
    const abbreviation_table* at(section_data* abbrev, std::uint64_t offset);

private:
    std::unordered_map<std::uint64_t, std::unique_ptr<const abbreviation_table>> tables_;
    bool budget_set_ = false;
    std::uint64_t bytes_left_ = 0;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
