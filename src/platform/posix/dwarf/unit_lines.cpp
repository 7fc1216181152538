#include "platform/posix/dwarf/unit_lines.hpp"

#include <algorithm>

#include "platform/posix/support/sorted_spans.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

bool unit_lines::find(std::uint64_t address, source_location& out) const {
    std::uint64_t file = 0;
    std::uint32_t line = 0;
    const auto next = std::upper_bound(sites.begin(), sites.end(), address,
                                       [](std::uint64_t a, const inline_site& s) { return a < s.low; });
    // Only the outermost sites are kept, which overlap only where a
    // function's parts interleave with another's.
    constexpr std::size_t most_overlapping_sites = 8;
    if (const inline_site* site =
            last_holding(sites.data(), sites.data() + (next - sites.begin()), most_overlapping_sites,
                         [address](const inline_site& s) { return address < s.high; })) {
        file = site->file;
        line = site->line;
    } else {
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

bool unit_lines::inline_chain(std::uint64_t address, std::vector<inline_frame>& out) const {
    out.clear();
    if (calls == nullptr) return false;
    std::vector<const inline_tree::call*> chain;
    chain.reserve(16);
    calls->chain(address, chain);
    if (chain.empty()) return false;
    const line_row* row = lines.row_at(address);
    std::uint32_t file = row != nullptr ? row->file : 0;
    std::uint32_t line = row != nullptr ? row->line : 0;
    for (auto c = chain.rbegin(); c != chain.rend(); ++c) {
        inline_frame level;
        level.function = calls->name_of(**c);
        level.location.path = lines.path_of(file);
        level.location.line = level.location.path != nullptr ? line : 0;
        out.push_back(level);
        file = (*c)->file;
        line = (*c)->line;
    }
    inline_frame holder;
    if (!find(address, holder.location)) holder.location = source_location();
    out.push_back(holder);
    return true;
}

std::unique_ptr<unit_lines> read_unit_lines(dwarf_sections& sections, std::size_t offset, const code_ranges& code,
                                            split_units* split, inline_reading* inlines) {
    open_unit unit;
    if (!read_unit_root(sections, offset, unit)) return nullptr;
    if (!prefetch_unit(unit)) return nullptr;
    auto lines = std::make_unique<unit_lines>();
    const bool skeleton = is_skeleton(unit);
    // A split unit's file is closed once read: its tree is read whole.
    if (inlines != nullptr) lines->calls = std::make_unique<inline_tree>(*inlines, !skeleton);
    const bool read =
        unit.root.has_stmt_list && lines->lines.read(unit.context, unit.root.stmt_list, unit.root.comp_dir, code);
    // The program is read whole, and the next unit's lies anywhere: its
    // decoder's memory goes back meanwhile, for the next stream to take.
    sections.line->let_go_of_decoder();
    if (!read) return nullptr;
    if (skeleton) {
        // Any row may lie in inlined code: without the inline tree no line
        // is certainly the function's own.
        if (split == nullptr || !split->read_sites(unit, code, lines->sites, lines->calls.get())) return nullptr;
    } else if (unit.root.has_children) {
        lines->sites = read_inline_sites(unit, code, lines->calls.get());
    }
    // Nothing points into the unit's bytes any more, unless its tree reads
    // them later: what it holds is in `lines`, so the memory goes back.
    if (lines->calls == nullptr || !lines->calls->reads_later())
        sections.info->release(unit.header.offset, unit.header.end);
    return lines;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
