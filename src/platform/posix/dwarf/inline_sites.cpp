#include "platform/posix/dwarf/inline_sites.hpp"

#include <algorithm>
#include <optional>

#include "platform/posix/dwarf/dwarf_constants.hpp"
#include "platform/posix/dwarf/entry_names.hpp"
#include "platform/posix/dwarf/inline_tree.hpp"
#include "platform/posix/support/checked_arithmetic.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

bool is_type_tag(std::uint32_t tag) {
    switch (tag) {
    case DW_TAG_structure_type:
    case DW_TAG_class_type:
    case DW_TAG_union_type:
    case DW_TAG_enumeration_type:
    case DW_TAG_subroutine_type:
    case DW_TAG_array_type:
        return true;
    default:
        return false;
    }
}

// Where a walk of the entries stands: outside any function, inside the
// entry of a function that has no code here (a declaration, or one inlined
// everywhere), in the body of a function that has code, or inside code
// inlined into one.
enum class scope : std::uint8_t { outside, local, function, inlined };

// What one entry says that the walk needs.
struct entry_facts {
    pc_attributes pc;
    std::uint64_t call_file = 0;
    std::uint64_t call_line = 0;
    std::uint64_t sibling = 0;
    bool has_sibling = false;
    std::uint64_t origin = 0;

    // For the next entry of a walk. The attributes' values are read only
    // where their flags say they were given: zeroing the whole of them for
    // every entry was a tenth of the walk.
    void clear() noexcept {
        pc.have_low = pc.have_high = pc.have_ranges = false;
        call_file = call_line = sibling = origin = 0;
        has_sibling = false;
    }
};

// A scope of the walk, with the outermost inlined call it is the entry of
// for a walk that keeps every call.
struct level {
    scope where;
    std::uint32_t root = inline_tree::none;
};

// The attributes of an entry whose forms all have sizes known before
// reading, from its bytes taken at once: most entries of functions and
// inlined calls are such, and reading them form by form, each read checked
// against the section, was most of the walk. False where a form's size is
// not one a number can have, as read_attribute says.
template <typename Note>
bool read_fixed_entry(dwarf_cursor& cursor, const abbreviation& entry, const attribute_layout* layouts,
                      const unit_header& unit, Note&& note) {
    const unsigned address = unit.address_size;
    const unsigned offset = offset_size(unit);
    const unsigned reference = unit.version <= 2 ? address : offset;
    if ((entry.address_forms != 0 || (entry.reference_forms != 0 && unit.version <= 2)) &&
        (address == 0 || address > 8))
        return false;
    const std::uint64_t size = std::uint64_t{entry.fixed_bytes} + std::uint64_t{entry.address_forms} * address +
                               std::uint64_t{entry.offset_forms} * offset +
                               std::uint64_t{entry.reference_forms} * reference;
    const std::uint8_t* bytes = cursor.take(size);
    if (bytes == nullptr) return false;
    for (std::uint32_t i = 0; i < entry.layout_count; ++i) {
        const attribute_layout& layout = layouts[i];
        attribute_value value;
        value.form = layout.form;
        value.value = 0;
        value.inline_string = nullptr;
        unsigned width = 0;
        switch (layout.kind) {
        case form_kind::number:
            width = layout.bytes;
            break;
        case form_kind::offset:
            width = offset;
            break;
        case form_kind::address:
            width = address;
            break;
        case form_kind::reference:
            width = reference;
            break;
        case form_kind::flag_present:
            value.value = 1;
            break;
        case form_kind::implicit_const:
            value.value = static_cast<std::uint64_t>(layout.implicit_value());
            break;
        default:
            // data16, the one other kind of a known size.
            bytes += 16;
            break;
        }
        value.value = width != 0 ? little_endian(bytes, width) : value.value;
        bytes += width;
        note(layout.name, value);
    }
    return true;
}

bool read_entry(open_unit& unit, const abbreviation& entry, entry_facts& facts) {
    const bool wanted = entry.tag == DW_TAG_subprogram || entry.tag == DW_TAG_inlined_subroutine;
    const attribute_layout* layouts = unit.abbrevs->layouts(entry);
    // Most entries are neither functions that can say where their code is
    // nor types with members: nothing of theirs is needed, and they are
    // passed over whole.
    if (!(wanted && entry.may_have_code) && !(entry.has_children && is_type_tag(entry.tag)))
        return skip_entry(unit.cursor, entry, layouts, unit.header);
    const auto note = [&](std::uint32_t name, const attribute_value& value) {
        if (name == DW_AT_sibling) {
            facts.has_sibling = value.form != DW_FORM_ref_addr && value.form != DW_FORM_GNU_ref_alt;
            facts.sibling = value.value;
        }
        if (!wanted || facts.pc.take(name, value)) return;
        if (name == DW_AT_call_file)
            attribute_constant(value, facts.call_file);
        else if (name == DW_AT_call_line)
            attribute_constant(value, facts.call_line);
        else if (name == DW_AT_abstract_origin)
            reference_target(unit.header, value, facts.origin);
    };
    if (entry.fixed_size) return read_fixed_entry(unit.cursor, entry, layouts, unit.header, note);
    for (std::uint32_t i = 0; i < entry.layout_count; ++i) {
        attribute_value value;
        if (!read_attribute(unit.cursor, layouts[i], unit.header, value)) return false;
        note(layouts[i].name, value);
    }
    return true;
}

// The scope an entry opens, recording its ranges if it is an inlined call
// made straight from a function body, and in `tree` where its entry is.
level enter(open_unit& unit, const abbreviation& entry, const entry_facts& facts, const level& parent,
            const code_ranges& code, std::vector<inline_site>& sites, inline_tree* tree) {
    if (entry.tag == DW_TAG_subprogram) {
        bool has_code = false;
        for_each_pc_range(unit.context, facts.pc,
                          [&](std::uint64_t low, std::uint64_t) { has_code |= code.holds(low); });
        return level{has_code ? scope::function : scope::local};
    }
    if (entry.tag != DW_TAG_inlined_subroutine) return level{parent.where};
    if (parent.where != scope::function) return level{scope::inlined};
    const std::uint32_t file = static_cast<std::uint32_t>(facts.call_file);
    const std::uint32_t line = facts.call_line <= UINT32_MAX ? static_cast<std::uint32_t>(facts.call_line) : 0;
    level here{scope::inlined};
    if (tree != nullptr) {
        std::uint64_t sibling = 0;
        const std::size_t children = entry.has_children ? unit.cursor.position() : 0;
        const bool ends = facts.has_sibling && checked_add(unit.header.offset, facts.sibling, sibling) &&
                          sibling > unit.cursor.position() && sibling <= unit.header.end;
        here.root = tree->add_root(file, line, facts.origin, children, ends ? static_cast<std::size_t>(sibling) : 0);
    }
    for_each_pc_range(unit.context, facts.pc, [&](std::uint64_t low, std::uint64_t high) {
        if (!code.holds(low)) return;
        sites.push_back(inline_site{low, high, file, line});
        if (tree != nullptr) tree->add_range(here.root, low, high);
    });
    return here;
}

// Outermost inlined calls in one function body cannot overlap, nor can
// functions: sites that overlap one before them come from damaged entries.
void drop_overlapping(std::vector<inline_site>& sites) {
    std::stable_sort(sites.begin(), sites.end(),
                     [](const inline_site& a, const inline_site& b) { return a.low < b.low; });
    std::size_t kept = 0;
    for (const inline_site& site : sites)
        if (kept == 0 || site.low >= sites[kept - 1].high) sites[kept++] = site;
    sites.resize(kept);
}

constexpr std::size_t walk_window = std::size_t{4} << 20;

} // namespace

std::vector<inline_site> read_inline_sites(open_unit& unit, const code_ranges& code, inline_tree* tree) {
    std::vector<inline_site> sites;
    std::size_t most_sites = 2 * std::max<std::uint64_t>(code.bytes(), 4096);
    // Calls at every depth: each depth holds no more than the outermost do.
    const std::size_t most_calls = std::size_t{inline_tree::most_depth} * most_sites;
    if (tree != nullptr) tree->open(unit, code, most_calls);
    // Most C units inline nothing, and their abbreviations say so: their
    // entries need not be walked.
    if (!unit.abbrevs->has_inlined_calls()) {
        if (tree != nullptr) tree->finish();
        return sites;
    }
    inline_tree* kept = tree;
    // A tree that reads below its roots later reads the unit's bytes again.
    const bool keep_bytes = tree != nullptr && tree->reads_later();
    std::vector<level> stack;
    stack.push_back(level{scope::outside});
    entry_facts facts;
    dwarf_cursor& cursor = unit.cursor;
    section_data* info = unit.context.sections->info.get();
    std::size_t released = cursor.position();
    // Most entries passed over have a size their abbreviation tells: passed
    // over here, as skip_entry would, without a call for each.
    const unsigned address = unit.header.address_size;
    const unsigned offset = offset_size(unit.header);
    const unsigned reference = unit.header.version <= 2 ? address : offset;
    const bool addresses_readable = address != 0 && address <= 8;
    const auto fixed_size = [&](const abbreviation& entry) -> std::optional<std::uint64_t> {
        if (!entry.fixed_size) return std::nullopt;
        if ((entry.address_forms != 0 || (entry.reference_forms != 0 && unit.header.version <= 2)) &&
            !addresses_readable)
            return std::nullopt;
        return std::uint64_t{entry.fixed_bytes} + std::uint64_t{entry.address_forms} * address +
               std::uint64_t{entry.offset_forms} * offset + std::uint64_t{entry.reference_forms} * reference;
    };
    while (!stack.empty() && !cursor.at_end()) {
        const std::uint64_t code_number = cursor.uleb();
        if (code_number == 0) {
            if (stack.back().root != inline_tree::none) tree->set_end(stack.back().root, cursor.position());
            stack.pop_back();
            continue;
        }
        const abbreviation* entry = unit.abbrevs->find(code_number);
        if (entry == nullptr) break;
        // A declaration's children are its parameters: where its abbreviation
        // tells where its sibling is, it is passed over with them. One that
        // says where code is goes the long way, as any function.
        if (entry->declaration && !entry->may_have_code && entry->sibling_bytes != 0 && entry->has_children &&
            entry->tag == DW_TAG_subprogram) {
            const std::optional<std::uint64_t> size = fixed_size(*entry);
            const std::uint8_t* bytes = size ? cursor.take(*size) : nullptr;
            if (bytes == nullptr) break;
            const std::uint64_t at = std::uint64_t{entry->sibling_fixed_bytes} +
                                     std::uint64_t{entry->sibling_address_forms} * address +
                                     std::uint64_t{entry->sibling_offset_forms} * offset +
                                     std::uint64_t{entry->sibling_reference_forms} * reference;
            std::uint64_t sibling = 0;
            if (checked_add(unit.header.offset, little_endian(bytes + at, entry->sibling_bytes), sibling) &&
                sibling > cursor.position()) {
                cursor.seek(static_cast<std::size_t>(sibling));
                continue;
            }
            stack.push_back(level{scope::local});
            continue;
        }
        // Most entries are neither functions nor inlined calls nor types
        // with members: passed over whole, their children are in the scope
        // they are in.
        if (entry->tag != DW_TAG_subprogram && entry->tag != DW_TAG_inlined_subroutine &&
            !(entry->has_children && is_type_tag(entry->tag))) {
            const std::optional<std::uint64_t> size = fixed_size(*entry);
            if (size ? !cursor.skip(*size) : !skip_entry(cursor, *entry, unit.abbrevs->layouts(*entry), unit.header))
                break;
            if (entry->has_children) stack.push_back(level{stack.back().where});
            if (cursor.position() - released >= walk_window && !keep_bytes) {
                info->release(released, cursor.position());
                released = cursor.position();
            }
            continue;
        }
        facts.clear();
        if (!read_entry(unit, *entry, facts)) break;
        const level here = enter(unit, *entry, facts, stack.back(), code, sites, kept);
        if (kept != nullptr && kept->ranges() > most_calls) kept = nullptr;
        if (sites.size() > most_sites) {
            drop_overlapping(sites);
            most_sites = std::max(most_sites, 2 * sites.size());
        }
        // A large unit is walked through a window: what lies behind is read
        // once and given back.
        if (cursor.position() - released >= walk_window && !keep_bytes) {
            info->release(released, cursor.position());
            released = cursor.position();
        }
        if (!entry->has_children) continue;
        // Types outside functions hold no code; their members need not be
        // read. A type inside one may, even inside one with no code of its
        // own here: a lambda's closure type holds the entries of its call
        // operator and of the function a conversion to a function pointer
        // gives. What lies inside inlined code is not needed here: the tree
        // reads it on its own.
        const bool passed_over =
            is_type_tag(entry->tag) ? stack.back().where == scope::outside : entry->tag == DW_TAG_inlined_subroutine;
        std::uint64_t sibling = 0;
        if (facts.has_sibling && passed_over && checked_add(unit.header.offset, facts.sibling, sibling) &&
            sibling > cursor.position()) {
            cursor.seek(static_cast<std::size_t>(sibling));
            continue;
        }
        stack.push_back(here);
    }
    drop_overlapping(sites);
    sites.shrink_to_fit();
    if (tree != nullptr) tree->finish();
    return sites;
}

void read_calls_below(open_unit& unit, std::size_t children, std::size_t end, const code_ranges& code,
                      inline_tree::subtree& below, std::size_t& ranges_left, std::size_t& bytes_left) {
    if (end <= children) return;
    // A level of the walk: the call it is in (none for the root), and
    // whether inlined calls met there are the root's: not inside a function
    // defined in the inlined code, nor deeper than kept.
    struct depth_level {
        std::uint32_t call;
        std::uint32_t depth;
        bool counted;
    };
    dwarf_cursor& cursor = unit.cursor;
    cursor = dwarf_cursor(unit.context.sections->info.get(), children,
                          children + static_cast<std::size_t>(std::min<std::uint64_t>(end - children, bytes_left)));
    std::vector<depth_level> stack;
    // Nesting of a few levels, each met once per root: grown, it was one
    // allocation in twenty of a run that lists inline calls.
    stack.reserve(16);
    stack.push_back(depth_level{inline_tree::none, 1, true});
    entry_facts facts;
    while (!stack.empty() && !cursor.at_end()) {
        const std::uint64_t code_number = cursor.uleb();
        if (code_number == 0) {
            stack.pop_back();
            continue;
        }
        const abbreviation* entry = unit.abbrevs->find(code_number);
        if (entry == nullptr) break;
        const depth_level parent = stack.back();
        if (entry->tag != DW_TAG_inlined_subroutine || !parent.counted) {
            if (!skip_entry(cursor, *entry, unit.abbrevs->layouts(*entry), unit.header)) break;
            if (entry->has_children)
                stack.push_back(entry->tag == DW_TAG_subprogram ? depth_level{inline_tree::none, 0, false} : parent);
            continue;
        }
        facts.clear();
        if (!read_entry(unit, *entry, facts)) break;
        depth_level here{inline_tree::none, 0, false};
        if (parent.depth < inline_tree::most_depth) {
            here = depth_level{static_cast<std::uint32_t>(below.calls.size()), parent.depth + 1, true};
            below.calls.emplace_back(parent.call, here.depth, static_cast<std::uint32_t>(facts.call_file),
                                     facts.call_line <= UINT32_MAX ? static_cast<std::uint32_t>(facts.call_line) : 0,
                                     facts.origin);
            for_each_pc_range(unit.context, facts.pc, [&](std::uint64_t low, std::uint64_t high) {
                if (ranges_left == 0 || !code.holds(low)) return;
                below.ranges.push_back(inline_tree::subtree::range{low, high, here.call});
                --ranges_left;
            });
        }
        if (!entry->has_children) continue;
        std::uint64_t sibling = 0;
        if (!here.counted && facts.has_sibling && checked_add(unit.header.offset, facts.sibling, sibling) &&
            sibling > cursor.position()) {
            cursor.seek(static_cast<std::size_t>(sibling));
            continue;
        }
        stack.push_back(here);
    }
    bytes_left -= std::min(bytes_left, cursor.position() - children);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
