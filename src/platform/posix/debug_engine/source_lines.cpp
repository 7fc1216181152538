#include "source_lines.hpp"

#include <dwarf.h>
#include <elf.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// The debug information's own attribute numbers for the bases of a unit's
// string offsets, addresses and range lists.
constexpr std::uint32_t at_str_offsets_base = 0x72;
constexpr std::uint32_t at_addr_base = 0x73;
constexpr std::uint32_t at_rnglists_base = 0x74;

std::unique_ptr<section_data> load_section(const elf_file& file, const char* name) {
    const std::string plain_name = std::string(".debug_") + name;
    if (const elf_section* section = file.find(plain_name.c_str())) {
        if (section->data == nullptr) return nullptr;
        if ((section->flags & SHF_COMPRESSED) == 0) return section_data::plain(section->data, section->size);
        Elf64_Chdr header;
        if (section->size < sizeof header) return nullptr;
        std::memcpy(&header, section->data, sizeof header);
        if (header.ch_type != ELFCOMPRESS_ZLIB) return nullptr;
        return section_data::zlib(section->data + sizeof header, section->size - sizeof header,
                                  static_cast<std::size_t>(header.ch_size));
    }
    // The older GNU form: "ZLIB", the size in big-endian order, the stream.
    const std::string gnu_name = std::string(".zdebug_") + name;
    const elf_section* section = file.find(gnu_name.c_str());
    if (section == nullptr || section->data == nullptr || section->size < 12 ||
        std::memcmp(section->data, "ZLIB", 4) != 0)
        return nullptr;
    std::uint64_t size = 0;
    for (int i = 4; i < 12; ++i) size = size << 8 | section->data[i];
    return section_data::zlib(section->data + 12, section->size - 12, static_cast<std::size_t>(size));
}

struct root_entry {
    std::uint32_t tag = 0;
    bool has_children = false;
    const char* comp_dir = nullptr;
    std::uint64_t stmt_list = 0;
    bool has_stmt_list = false;
    pc_attributes pc;
};

// Reads a unit's header, abbreviations and root entry, leaving `cursor` at
// the root's first child.
bool read_root(dwarf_sections& sections, std::size_t offset, unit_header& header, abbreviation_table& abbrevs,
               unit_context& context, root_entry& root, dwarf_cursor& cursor) {
    if (!read_unit_header(sections.info.get(), offset, header)) return false;
    if (header.unit_type != DW_UT_compile && header.unit_type != DW_UT_skeleton) return false;
    if (!abbrevs.read(sections.abbrev.get(), header.abbrev_offset)) return false;
    cursor = dwarf_cursor(sections.info.get(), header.first_entry, header.end);
    const abbreviation* entry = abbrevs.find(cursor.uleb());
    if (entry == nullptr) return false;
    root.tag = entry->tag;
    root.has_children = entry->has_children;
    if (root.tag != DW_TAG_compile_unit && root.tag != DW_TAG_skeleton_unit) return false;

    context.header = &header;
    context.sections = &sections;
    attribute_value comp_dir;
    bool has_comp_dir = false;
    const attribute_layout* layouts = abbrevs.layouts(*entry);
    for (std::uint32_t i = 0; i < entry->layout_count; ++i) {
        attribute_value value;
        if (!read_attribute(cursor, layouts[i].form, layouts[i].implicit_value, header, value)) return false;
        switch (layouts[i].name) {
        case DW_AT_low_pc:
            root.pc.low = value;
            root.pc.have_low = true;
            break;
        case DW_AT_high_pc:
            root.pc.high = value;
            root.pc.have_high = true;
            break;
        case DW_AT_ranges:
            root.pc.ranges = value;
            root.pc.have_ranges = true;
            break;
        case DW_AT_stmt_list:
            root.stmt_list = value.value;
            root.has_stmt_list = true;
            break;
        case DW_AT_comp_dir:
            comp_dir = value;
            has_comp_dir = true;
            break;
        case at_str_offsets_base:
            context.str_offsets_base = value.value;
            context.has_str_offsets_base = true;
            break;
        case at_addr_base:
            context.addr_base = value.value;
            context.has_addr_base = true;
            break;
        case at_rnglists_base:
            context.rnglists_base = value.value;
            context.has_rnglists_base = true;
            break;
        default:
            break;
        }
    }
    // Bases may follow the attributes that need them, so these come last.
    if (root.pc.have_low) attribute_address(context, root.pc.low, context.base_address);
    if (has_comp_dir) root.comp_dir = attribute_string(context, comp_dir);
    return true;
}

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

// Where a walk of the entries stands: outside any function, in the body of
// a function that has code, or inside code inlined into one.
enum class scope : std::uint8_t { outside, function, inlined };

std::unique_ptr<unit_lines> read_unit(dwarf_sections& sections, std::size_t offset, const code_ranges& code) {
    unit_header header;
    abbreviation_table abbrevs;
    unit_context context;
    root_entry root;
    dwarf_cursor cursor;
    if (!read_root(sections, offset, header, abbrevs, context, root, cursor)) return nullptr;
    // The whole unit is read: one range of the section rather than many.
    if (!cursor.prefetch()) return nullptr;

    std::unique_ptr<unit_lines> unit(new unit_lines());
    if (!root.has_stmt_list || !unit->lines.read(context, root.stmt_list, root.comp_dir, code)) return nullptr;
    if (!root.has_children) return unit;

    std::vector<scope> stack;
    stack.push_back(scope::outside);
    std::vector<inline_site>& sites = unit->sites;
    while (!stack.empty() && !cursor.at_end()) {
        const std::uint64_t code_number = cursor.uleb();
        if (code_number == 0) {
            stack.pop_back();
            continue;
        }
        const abbreviation* entry = abbrevs.find(code_number);
        if (entry == nullptr) break;
        const scope parent = stack.back();
        const bool wanted = entry->tag == DW_TAG_subprogram || entry->tag == DW_TAG_inlined_subroutine;
        pc_attributes pc;
        std::uint64_t call_file = 0;
        std::uint64_t call_line = 0;
        std::uint64_t sibling = 0;
        bool has_sibling = false;
        const attribute_layout* layouts = abbrevs.layouts(*entry);
        for (std::uint32_t i = 0; i < entry->layout_count; ++i) {
            attribute_value value;
            if (!read_attribute(cursor, layouts[i].form, layouts[i].implicit_value, header, value)) return unit;
            if (layouts[i].name == DW_AT_sibling) {
                has_sibling = value.form != DW_FORM_ref_addr && value.form != DW_FORM_GNU_ref_alt;
                sibling = value.value;
            }
            if (!wanted) continue;
            switch (layouts[i].name) {
            case DW_AT_low_pc:
                pc.low = value;
                pc.have_low = true;
                break;
            case DW_AT_high_pc:
                pc.high = value;
                pc.have_high = true;
                break;
            case DW_AT_ranges:
                pc.ranges = value;
                pc.have_ranges = true;
                break;
            case DW_AT_call_file:
                attribute_constant(value, call_file);
                break;
            case DW_AT_call_line:
                attribute_constant(value, call_line);
                break;
            default:
                break;
            }
        }

        scope here = parent;
        if (entry->tag == DW_TAG_subprogram) {
            bool has_code = false;
            for_each_pc_range(context, pc, [&](std::uint64_t low, std::uint64_t) { has_code |= code.holds(low); });
            here = has_code ? scope::function : scope::outside;
        } else if (entry->tag == DW_TAG_inlined_subroutine) {
            if (parent == scope::function) {
                const std::uint32_t file = static_cast<std::uint32_t>(call_file);
                const std::uint32_t line = call_line <= UINT32_MAX ? static_cast<std::uint32_t>(call_line) : 0;
                for_each_pc_range(context, pc, [&](std::uint64_t low, std::uint64_t high) {
                    if (code.holds(low)) sites.push_back(inline_site{low, high, file, line});
                });
            }
            here = scope::inlined;
        }

        if (!entry->has_children) continue;
        // Types hold no code; their members need not be read.
        if (has_sibling && is_type_tag(entry->tag) && header.offset + sibling > cursor.position()) {
            cursor.seek(static_cast<std::size_t>(header.offset + sibling));
            continue;
        }
        stack.push_back(here);
    }
    std::sort(sites.begin(), sites.end(), [](const inline_site& a, const inline_site& b) { return a.low < b.low; });
    sites.shrink_to_fit();
    return unit;
}

} // namespace

bool unit_lines::find(std::uint64_t address, source_location& out) const noexcept {
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

long unit_index::find(std::uint64_t address) const noexcept {
    auto after = std::upper_bound(ranges.begin(), ranges.end(), address,
                                  [](std::uint64_t a, const range& r) { return a < r.low; });
    for (int steps = 0; after != ranges.begin() && steps < 8; ++steps) {
        --after;
        if (address < after->high) return static_cast<long>(after->unit);
    }
    return -1;
}

void unit_index::finish() {
    std::sort(ranges.begin(), ranges.end(), [](const range& a, const range& b) { return a.low < b.low; });
    ranges.shrink_to_fit();
    data.reset(new std::atomic<const unit_lines*>[offsets.size()]);
    for (std::size_t i = 0; i < offsets.size(); ++i) data[i].store(nullptr, std::memory_order_relaxed);
}

unit_index::~unit_index() {
    if (data == nullptr) return;
    for (std::size_t i = 0; i < offsets.size(); ++i) delete data[i].load(std::memory_order_relaxed);
}

std::unique_ptr<source_lines> source_lines::open(const elf_file& file, code_ranges code) {
    std::unique_ptr<source_lines> lines(new source_lines());
    dwarf_sections& s = lines->sections_;
    s.info = load_section(file, "info");
    s.abbrev = load_section(file, "abbrev");
    s.line = load_section(file, "line");
    if (s.info == nullptr || s.abbrev == nullptr || s.line == nullptr) return nullptr;
    s.str = load_section(file, "str");
    s.line_str = load_section(file, "line_str");
    s.str_offsets = load_section(file, "str_offsets");
    s.addr = load_section(file, "addr");
    s.ranges = load_section(file, "ranges");
    s.rnglists = load_section(file, "rnglists");
    s.aranges = load_section(file, "aranges");
    const elf_section* info = file.find(".debug_info");
    lines->info_compressed_ = info == nullptr || (info->flags & SHF_COMPRESSED) != 0;
    lines->code_ = std::move(code);

    lines->primary_from_aranges_ = lines->read_aranges(lines->primary_);
    if (!lines->primary_from_aranges_) {
        lines->primary_.ranges.clear();
        lines->primary_.offsets.clear();
        lines->scan_units(lines->primary_, nullptr);
    }
    lines->primary_.finish();
    return lines;
}

bool source_lines::read_aranges(unit_index& index) {
    section_data* aranges = sections_.aranges.get();
    if (aranges == nullptr) return false;
    std::unordered_map<std::uint64_t, std::uint32_t> numbers;
    dwarf_cursor cursor(aranges, 0, aranges->size());
    while (!cursor.at_end()) {
        const std::size_t start = cursor.position();
        std::uint64_t length = cursor.u32();
        const bool offset64 = length == 0xffffffffu;
        if (offset64) length = cursor.u64();
        if (!cursor.ok() || length == 0 || length > cursor.limit() - cursor.position()) break;
        const std::size_t end = cursor.position() + static_cast<std::size_t>(length);
        dwarf_cursor set(aranges, cursor.position(), end);
        set.u16(); // version
        const std::uint64_t info_offset = set.fixed(offset64 ? 8 : 4);
        const std::uint8_t address_size = set.u8();
        set.u8(); // segment selector size
        if (!set.ok() || (address_size != 4 && address_size != 8)) break;
        const std::size_t tuple = std::size_t{2} * address_size;
        const std::size_t header = set.position() - start;
        set.seek(start + (header + tuple - 1) / tuple * tuple);
        auto inserted = numbers.emplace(info_offset, static_cast<std::uint32_t>(index.offsets.size()));
        if (inserted.second) index.offsets.push_back(info_offset);
        for (;;) {
            const std::uint64_t address = set.fixed(address_size);
            const std::uint64_t size = set.fixed(address_size);
            if (!set.ok() || (address == 0 && size == 0)) break;
            if (size != 0 && code_.holds(address))
                index.ranges.push_back(unit_index::range{address, address + size, inserted.first->second});
        }
        cursor.seek(end);
    }
    return !index.offsets.empty();
}

bool source_lines::scan_units(unit_index& index, const std::vector<std::uint64_t>* skip) {
    section_data* info = sections_.info.get();
    std::size_t offset = 0;
    while (offset < info->size()) {
        unit_header header;
        abbreviation_table abbrevs;
        unit_context context;
        root_entry root;
        dwarf_cursor cursor;
        const bool known = read_root(sections_, offset, header, abbrevs, context, root, cursor);
        if (header.end <= offset) break;
        if (known && (skip == nullptr || !std::binary_search(skip->begin(), skip->end(), header.offset))) {
            const std::uint32_t number = static_cast<std::uint32_t>(index.offsets.size());
            bool any = false;
            for_each_pc_range(context, root.pc, [&](std::uint64_t low, std::uint64_t high) {
                if (!code_.holds(low)) return;
                index.ranges.push_back(unit_index::range{low, high, number});
                any = true;
            });
            if (any) index.offsets.push_back(header.offset);
        }
        offset = header.end;
    }
    return true;
}

const unit_lines* source_lines::unit(const unit_index& index, long number) {
    std::atomic<const unit_lines*>& slot = index.data[static_cast<std::size_t>(number)];
    const unit_lines* ready = slot.load(std::memory_order_acquire);
    if (ready != nullptr) return ready;
    std::lock_guard<std::mutex> lock(build_);
    ready = slot.load(std::memory_order_acquire);
    if (ready != nullptr) return ready;
    std::unique_ptr<unit_lines> read =
        read_unit(sections_, static_cast<std::size_t>(index.offsets[static_cast<std::size_t>(number)]), code_);
    // A unit that cannot be read answers nothing, and is not read again.
    if (read == nullptr) read.reset(new unit_lines());
    slot.store(read.get(), std::memory_order_release);
    return read.release();
}

bool source_lines::find(std::uint64_t address, source_location& out) {
    long number = primary_.find(address);
    if (number >= 0) return unit(primary_, number)->find(address, out);
    // Only objects built by one compiler have complete address tables; a
    // mixed one lists some units nowhere, and those are found by walking the
    // units once. Installed (compressed) debug files are complete, and
    // walking them would mean inflating all of their debug information.
    if (!primary_from_aranges_ || info_compressed_) return false;
    const unit_index* unlisted = unlisted_ready_.load(std::memory_order_acquire);
    if (unlisted == nullptr) {
        std::lock_guard<std::mutex> lock(build_);
        if (!unlisted_scanned_) {
            unlisted_scanned_ = true;
            std::unique_ptr<unit_index> extra(new unit_index());
            std::vector<std::uint64_t> listed = primary_.offsets;
            std::sort(listed.begin(), listed.end());
            scan_units(*extra, &listed);
            extra->finish();
            unlisted_ = std::move(extra);
            unlisted_ready_.store(unlisted_.get(), std::memory_order_release);
        }
        unlisted = unlisted_.get();
    }
    number = unlisted->find(address);
    if (number < 0) return false;
    return unit(*unlisted, number)->find(address, out);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
