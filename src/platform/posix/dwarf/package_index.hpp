#ifndef KORVO_CALLTRAIL_POSIX_DWARF_PACKAGE_INDEX_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_PACKAGE_INDEX_HPP

// The unit index of a split DWARF package (.dwp): for a split unit's id,
// where its parts lie in the package's sections. Both the DWARF 5 index and
// the GNU one that DWARF 4 packages carry.

#include <cstddef>
#include <cstdint>

#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Where one split unit's parts start in the sections of its file; all zero
// for a lone .dwo, which holds nothing else. `info_size` 0 means unbounded.
struct unit_contribution {
    std::uint64_t info_offset = 0;
    std::uint64_t info_size = 0;
    std::uint64_t abbrev_offset = 0;
    std::uint64_t str_offsets_offset = 0;
    std::uint64_t rnglists_offset = 0;
};

class package_index {
public:
    // False when the section is not an index this reader knows.
    bool read(section_data* cu_index);
    bool find(std::uint64_t unit_id, unit_contribution& out) const;

private:
    bool read_columns();
    bool read_row(std::uint32_t row, unit_contribution& out) const;

    section_data* section_ = nullptr;
    std::uint32_t version_ = 0;
    std::uint32_t columns_ = 0;
    std::uint32_t units_ = 0;
    std::uint32_t slots_ = 0;
    // Column of each part, or -1 when the package has none.
    int info_ = -1;
    int abbrev_ = -1;
    int str_offsets_ = -1;
    int rnglists_ = -1;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
