#ifndef KORVO_CALLTRAIL_POSIX_DWARF_ENTRY_NAMES_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_ENTRY_NAMES_HPP

// The name a function is shown by when an inlined call stands for it: its
// linkage name (to be demangled), or else its plain name, found on the entry itself
// or on those its DW_AT_abstract_origin and DW_AT_specification lead to, in
// the same unit or (DW_FORM_ref_addr) in another.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/dwarf/unit_root.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Where the units of one .debug_info lie, learnt by walking their headers no
// further than a lookup needs.
class unit_locator {
public:
    // The header of the unit that holds `offset`; false when none does.
    bool find(section_data* info, std::uint64_t offset, unit_header& out);

private:
    std::vector<unit_header> seen_;
    std::size_t walked_ = 0;
    bool ended_ = false;
};

// The section offset a reference attribute leads to; false for references
// into other files or type units.
bool reference_target(const unit_header& unit, const attribute_value& value, std::uint64_t& offset) noexcept;

// The linkage name, or else the plain name, of the function the entry at a
// .debug_info offset stands for; empty when none is found. `others` finds units other than `unit`, and may
// be null: such references then lead nowhere.
std::string function_name_at(const open_unit& unit, std::uint64_t offset, unit_locator* others);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
