#ifndef KORVO_CALLTRAIL_POSIX_DWARF_SPLIT_UNITS_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_SPLIT_UNITS_HPP

// Split DWARF: a skeleton unit in the object keeps the line table and the
// addresses; the entries, and with them the inline tree, went to a split
// file (.dwo) or a package of such files (.dwp) beside the object. Without
// the inline tree a row may be a line inside inlined code, so a skeleton
// whose split unit is not found gives no lines at all.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/posix/dwarf/dwarf_sections.hpp"
#include "platform/posix/dwarf/inline_sites.hpp"
#include "platform/posix/dwarf/package_index.hpp"
#include "platform/posix/dwarf/unit_root.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// A split file's or a package's sections, each in the slot of its name
// without ".dwo" (.debug_info.dwo in `sections.info`).
struct split_file {
    dwarf_sections sections;
    // A package's unit index; null in a lone .dwo.
    std::unique_ptr<section_data> cu_index;
};

// Finds the files that hold split units. The DWARF reader opens no file:
// this is done for it by the module that owns the object.
class split_file_source {
public:
    using visitor = std::function<bool(split_file&)>;

    virtual ~split_file_source() = default;
    // The package beside the object, opened on the first call and kept; null
    // when there is none.
    virtual split_file* package() = 0;
    // Offers each file that a skeleton's dwo name and compilation directory
    // may designate to `accept`, in order, until it returns true; each is
    // closed once offered. False when none was accepted.
    virtual bool offer_split_files(const char* dwo_name, const char* comp_dir, const visitor& accept) = 0;
};

// Reads the split units of one object's skeletons. Used under the lock that
// serialises the object's DWARF reading.
class split_units {
public:
    explicit split_units(split_file_source& source) : source_(source) {}
    split_units(const split_units&) = delete;
    split_units& operator=(const split_units&) = delete;

    // Adds the outermost inlined calls that the skeleton's split unit
    // records, and every inlined call to `tree` if given; false when the
    // split unit cannot be found or read.
    bool read_sites(const open_unit& skeleton, const code_ranges& code, std::vector<inline_site>& sites,
                    inline_tree* tree = nullptr);

private:
    const package_index* package();

    split_file_source& source_;
    bool package_opened_ = false;
    split_file* package_ = nullptr;
    package_index index_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
