#ifndef KORVO_CALLTRAIL_POSIX_DWARF_ABBREVIATION_TABLE_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_ABBREVIATION_TABLE_HPP

// The abbreviations of a unit: for each entry code, its tag and the names and
// forms of its attributes, in order.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct attribute_layout {
    std::uint32_t name;
    std::uint32_t form;
    std::int64_t implicit_value;
};

struct abbreviation {
    std::uint64_t code = 0;
    std::uint32_t tag = 0;
    bool has_children = false;
    std::uint32_t first_layout = 0;
    std::uint32_t layout_count = 0;
};

class abbreviation_table {
public:
    bool read(section_data* abbrev, std::uint64_t offset);
    const abbreviation* find(std::uint64_t code) const noexcept;
    const attribute_layout* layouts(const abbreviation& a) const noexcept { return layouts_.data() + a.first_layout; }

private:
    std::vector<abbreviation> entries_;
    std::vector<attribute_layout> layouts_;
    // Codes 1, 2, 3... as compilers number them: found by index.
    bool dense_ = true;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
