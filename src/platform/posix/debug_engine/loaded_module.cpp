#include "platform/posix/debug_engine/loaded_module.hpp"

#include <elf.h>

#include "platform/posix/object/debug_file_search.hpp"
#include "platform/posix/object/debug_section.hpp"
#include "platform/posix/object/mini_debuginfo.hpp"
#include "platform/posix/debug_engine/call_instruction.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

bool has_section(const elf_file& file, const char* name, const char* compressed_name) {
    return file.has_section_named(name) || file.has_section_named(compressed_name);
}

bool has_symbol_table(const elf_file& file) {
    for (const elf_section& section : file.sections())
        if (section.type == SHT_SYMTAB && section.data != nullptr) return true;
    return false;
}

dwarf_sections debug_sections_of(const elf_file& file) {
    dwarf_sections s;
    s.info = open_debug_section(file, "info");
    s.abbrev = open_debug_section(file, "abbrev");
    s.line = open_debug_section(file, "line");
    if (s.info == nullptr || s.abbrev == nullptr || s.line == nullptr) return s;
    s.str = open_debug_section(file, "str");
    s.line_str = open_debug_section(file, "line_str");
    s.str_offsets = open_debug_section(file, "str_offsets");
    s.addr = open_debug_section(file, "addr");
    s.ranges = open_debug_section(file, "ranges");
    s.rnglists = open_debug_section(file, "rnglists");
    s.aranges = open_debug_section(file, "aranges");
    return s;
}

} // namespace

loaded_module::loaded_module(module_description description) : description_(std::move(description)) {}

const elf_file* loaded_module::object() {
    return object_.get_locked([this] {
        std::unique_ptr<elf_file> file;
        switch (description_.source) {
        case module_source::vdso:
            file = elf_file::copy_of(description_.image, description_.image_size);
            break;
        // The running executable, even when its path has gone or changed.
        case module_source::executable:
            file = elf_file::open("/proc/self/exe");
            break;
        case module_source::file:
            file = elf_file::open(description_.path.c_str());
            break;
        }
        // A file replaced on disk since it was loaded describes other code.
        if (file != nullptr && !description_.id.empty() && file->id() != description_.id) file.reset();
        return file;
    });
}

const elf_file* loaded_module::debug_file() {
    return debug_.get_locked([this]() -> std::unique_ptr<elf_file> {
        const elf_file* main = object();
        if (main == nullptr || description_.source == module_source::vdso) return nullptr;
        return find_debug_file(*main, description_.path, description_.id.empty() ? main->id() : description_.id);
    });
}

const elf_file* loaded_module::mini_debuginfo() {
    return mini_.get_locked([this]() -> std::unique_ptr<elf_file> {
        const elf_file* main = object();
        return main != nullptr ? open_mini_debuginfo(*main) : nullptr;
    });
}

// How far the addresses of a file made from the object (its debug file, its
// MiniDebugInfo) lie from the object's own.
std::uint64_t loaded_module::bias_of(const elf_file& file) const noexcept {
    std::uint64_t first = 0;
    return file.first_load_address(first) ? description_.first_load - first : 0;
}

std::unique_ptr<symbol_index> loaded_module::build_symbols() {
    const elf_file* main = object();
    if (main == nullptr) return nullptr;
    std::unique_ptr<symbol_index> index;
    if (has_symbol_table(*main)) {
        index = symbol_index::build(*main, false, 0);
    } else if (const elf_file* debug = debug_file()) {
        index = symbol_index::build(*debug, false, bias_of(*debug));
    }
    if (index != nullptr) return index;
    // Stripped: the exported functions, and the others from MiniDebugInfo.
    if (const elf_file* mini = mini_debuginfo()) {
        const symbol_index::table_source tables[] = {{main, true, 0}, {mini, false, bias_of(*mini)}};
        return symbol_index::build(tables, 2);
    }
    return symbol_index::build(*main, true, 0);
}

const symbol_index* loaded_module::symbols() {
    return symbols_.get(build_, [this] { return build_symbols(); });
}

std::unique_ptr<loaded_module::line_source> loaded_module::build_lines() {
    const elf_file* source = object();
    if (source != nullptr && !has_section(*source, ".debug_info", ".zdebug_info")) source = debug_file();
    if (source == nullptr) return nullptr;
    auto found = std::make_unique<line_source>();
    std::uint64_t first = 0;
    found->bias = source->first_load_address(first) ? description_.first_load - first : 0;
    code_ranges code;
    for (const auto& range : description_.code)
        code.ranges.emplace_back(range.first - found->bias, range.second - found->bias);
    found->split = std::make_unique<split_dwarf_files>(description_.path);
    found->lines = source_lines::open(debug_sections_of(*source), std::move(code), found->split.get());
    if (found->lines == nullptr) return nullptr;
    return found;
}

loaded_module::line_source* loaded_module::lines() {
    return lines_.get(build_, [this] { return build_lines(); });
}

bool loaded_module::follows_call(std::uint64_t address) const noexcept {
    // The bytes read must lie in one executable segment.
    const std::uint64_t link_address = address - description_.bias;
    for (const auto& range : description_.code)
        if (link_address >= range.first + longest_call && link_address <= range.second)
            return ends_in_call(reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(address)));
    return false;
}

std::uint64_t loaded_module::described_address(std::uint64_t address, const symbol_index::function** function) {
    const std::uint64_t link_address = address - description_.bias;
    const symbol_index* index = symbols();
    *function = nullptr;
    if (index == nullptr) return link_address - 1;
    bool nearest = false;
    const symbol_index::function* f = index->find(link_address, &nearest);
    if (f != nullptr && f->start == link_address) {
        // A call that ends its function (to something that never returns)
        // leaves a return address on the first byte of the next one.
        const symbol_index::function* before = index->find(link_address - 1);
        if (before == nullptr || before->start + before->size != link_address || !follows_call(address)) {
            *function = f;
            return link_address;
        }
        *function = before;
        return link_address - 1;
    }
    // Inside the nearest function the byte before belongs to it too; with
    // overlapping symbols another may end just there.
    *function = f != nullptr && nearest ? f : index->find(link_address - 1);
    return link_address - 1;
}

bool loaded_module::function_at(std::uint64_t address, function_answer& out) {
    const symbol_index::function* f = nullptr;
    described_address(address, &f);
    if (f == nullptr) return false;
    out.name = symbols()->name_of(*f);
    out.start = f->start + description_.bias;
    return true;
}

bool loaded_module::line_at(std::uint64_t address, source_location& out) {
    const symbol_index::function* f = nullptr;
    const std::uint64_t link_address = described_address(address, &f);
    line_source* source = lines();
    if (source == nullptr) return false;
    return source->lines->find(link_address - source->bias, out);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
