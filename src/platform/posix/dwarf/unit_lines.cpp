#include "platform/posix/dwarf/unit_lines.hpp"

#include <algorithm>

namespace korvo {
namespace calltrail {
namespace posix_engine {

bool unit_lines::find(std::uint64_t address, source_location& out) const {
    std::uint64_t file = 0;
    std::uint32_t line = 0;
    bool found = false;
    auto after = std::upper_bound(sites.begin(), sites.end(), address,
                                  [](std::uint64_t a, const inline_site& s) { return a < s.low; });
    for (int steps = 0; after != sites.begin() && steps < 8; ++steps) {
        --after;
        if (address < after->high) {
            file = after->file;
            line = after->line;
            found = true;
            break;
        }
    }
    if (!found) {
        const line_row* row = lines.row_at(address);
        if (row == nullptr) return false;
        file = row->file;
        line = row->line;
    }
    const std::string* path = lines.path_of(file);
    if (path == nullptr || line == 0) return false;
    out.path = path;
    out.line = line;
    return true;
}

std::unique_ptr<unit_lines> read_unit_lines(dwarf_sections& sections, std::size_t offset, const code_ranges& code,
                                            split_units* split) {
    open_unit unit;
    if (!read_unit_root(sections, offset, unit)) return nullptr;
    if (!prefetch_unit(unit)) return nullptr;
    auto lines = std::make_unique<unit_lines>();
    if (!unit.root.has_stmt_list || !lines->lines.read(unit.context, unit.root.stmt_list, unit.root.comp_dir, code))
        return nullptr;
    if (is_skeleton(unit)) {
        // Any row may lie in inlined code: without the inline tree no line
        // is certainly the function's own.
        if (split == nullptr || !split->read_sites(unit, code, lines->sites)) return nullptr;
    } else if (unit.root.has_children) {
        lines->sites = read_inline_sites(unit, code);
    }
    // Nothing points into the unit's bytes any more: what it holds is in
    // `lines`, so the memory goes back.
    sections.info->release(unit.header.offset, unit.header.end);
    return lines;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
