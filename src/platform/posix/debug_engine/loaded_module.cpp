#include "platform/posix/debug_engine/loaded_module.hpp"

#include <elf.h>
#include <sys/stat.h>

#include <string>
#include <vector>

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

// A debug file read in place of its object keeps the code's place but not
// its bytes. A return address is read as one that follows a call there:
// all return addresses do but where a signal's trampoline starts.
bool holds_code_bytes(const elf_file& file, std::uint64_t address) {
    for (const load_segment& segment : file.load_segments())
        if (address > segment.address && address - segment.address <= segment.memory_size)
            return segment.file_size != 0;
    return true;
}

bool has_symbol_table(const elf_file& file) {
    for (const elf_section& section : file.sections())
        if (section.type == SHT_SYMTAB && section.size != 0) return true;
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

loaded_module::loaded_module(module_description description, module_reading reading)
    : description_(std::move(description)), reading_(std::move(reading)) {}

// The file the object was loaded from: through /proc/self/map_files where
// the system allows it, which opens it even when replaced or deleted since;
// otherwise its path, while that still leads to the same file. A file whose
// identity differs is taken only when the build-id says it is the same.
std::unique_ptr<elf_file> loaded_module::open_object() const {
    const module_description& d = description_;
    if (d.source == module_source::memory) return elf_file::copy_of(d.image, d.image_size);
    std::vector<std::string> paths;
    if (!d.map_files_path.empty()) paths.push_back(d.map_files_path);
    // The running executable, even when its path has gone or changed.
    if (d.source == module_source::executable) paths.emplace_back("/proc/self/exe");
    paths.push_back(d.path);
    for (const std::string& path : paths) {
        struct stat status {};
        unique_fd fd = open_regular_file(path.c_str(), status);
        if (!fd) continue;
        const bool same_file = !d.file.known() || identity_of(status) == d.file;
        if (!same_file && d.id.empty()) continue;
        std::unique_ptr<elf_file> file =
            elf_file::open_file(std::make_shared<file_source>(path, std::move(fd), status));
        if (file == nullptr || (!d.id.empty() && file->id() != d.id)) continue;
        return file;
    }
    return nullptr;
}

const elf_file* loaded_module::object() {
    return object_.get_locked([this] { return open_object(); });
}

const elf_file* loaded_module::debug_file() {
    return debug_.get_locked([this]() -> std::unique_ptr<elf_file> {
        const elf_file* main = object();
        if (main == nullptr || description_.source == module_source::memory) return nullptr;
        const build_id& id = description_.id.empty() ? main->id() : description_.id;
        if (reading_.places != nullptr) return find_debug_file(*main, description_.path, id, *reading_.places);
        return find_debug_file(*main, description_.path, id);
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
    found->bias = bias_of(*source);
    code_ranges code;
    for (const auto& range : description_.code)
        code.ranges.emplace_back(range.first - found->bias, range.second - found->bias);
    // An image in memory has no place beside it where split files could be.
    if (description_.source != module_source::memory)
        found->split = std::make_unique<split_dwarf_files>(description_.path);
    dwarf_sections sections = debug_sections_of(*source);
    if (reading_.sections_in_order)
        for (section_data* s : {sections.info.get(), sections.abbrev.get(), sections.line.get(), sections.str.get(),
                                sections.line_str.get(), sections.str_offsets.get(), sections.addr.get(),
                                sections.ranges.get(), sections.rnglists.get(), sections.aranges.get()})
            if (s != nullptr) s->read_in_order();
    found->lines = source_lines::open(std::move(sections), std::move(code), found->split.get(), reading_.inline_calls);
    if (found->lines == nullptr) return nullptr;
    return found;
}

loaded_module::line_source* loaded_module::lines() {
    return lines_.get(build_, [this] { return build_lines(); });
}

bool loaded_module::follows_call(std::uint64_t address) {
    // The bytes come from the file: the live code may be unmapped at any
    // moment, or unreadable. They must lie in one executable segment.
    std::uint8_t bytes[16];
    const elf_file* file = object_.peek();
    const std::uint64_t link_address = address - description_.bias;
    if (file == nullptr || longest_call == 0 || longest_call > sizeof bytes) return false;
    for (const auto& range : description_.code)
        if (link_address >= range.first + longest_call && link_address <= range.second)
            return file->read_loaded(link_address - longest_call, longest_call, bytes)
                       ? ends_in_call(bytes + longest_call)
                       : !holds_code_bytes(*file, link_address);
    return false;
}

void loaded_module::let_go_of_files() const noexcept {
    if (const elf_file* file = object_.peek()) file->let_go();
    if (const elf_file* file = debug_.peek()) file->let_go();
    if (const line_source* source = lines_.peek())
        if (source->split != nullptr) source->split->let_go();
}

std::uint64_t loaded_module::described_address(std::uint64_t address, const symbol_index::function** function) {
    const std::uint64_t link_address = address - description_.bias;
    const symbol_index* index = symbols();
    *function = nullptr;
    // Nothing lies before the object's first byte: the byte before would
    // wrap round to the top of the address space.
    if (link_address == 0) {
        const symbol_index::function* f = index != nullptr ? index->find(0) : nullptr;
        if (f != nullptr && f->start == 0) *function = f;
        return 0;
    }
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

code_place loaded_module::place_of(std::uint64_t address) {
    const files_in_use scope{*this};
    code_place place;
    place.link_address = described_address(address, &place.function);
    return place;
}

bool loaded_module::function_at(const code_place& place, function_answer& out) {
    // A place with a function was found in the index, which is built.
    if (place.function == nullptr) return false;
    // A large string table is read by name, from its file.
    const files_in_use scope{*this};
    out.name = symbols_.peek()->name_of(*place.function);
    if (out.name.empty()) return false;
    out.start = place.function->start + description_.bias;
    return true;
}

bool loaded_module::inline_chain_at(std::uint64_t address, std::vector<inline_frame>& out) {
    const files_in_use scope{*this};
    const symbol_index::function* f = nullptr;
    const std::uint64_t link_address = described_address(address, &f);
    line_source* source = lines();
    if (source == nullptr) return false;
    return source->lines->inline_chain(link_address - source->bias, out);
}

bool loaded_module::address_of(std::string_view symbol_name, std::uint64_t& address) {
    const files_in_use scope{*this};
    const symbol_index* index = symbols();
    const symbol_index::function* f = index != nullptr ? index->find_named(symbol_name) : nullptr;
    if (f == nullptr) return false;
    address = f->start + description_.bias;
    return true;
}

std::optional<std::uint64_t> loaded_module::unit_offset_at(std::uint64_t address) {
    const files_in_use scope{*this};
    line_source* source = lines();
    if (source == nullptr || address == 0) return std::nullopt;
    return source->lines->unit_offset(address - 1 - description_.bias - source->bias);
}

void loaded_module::read_ahead() {
    const files_in_use scope{*this};
    if (line_source* source = lines()) source->lines->read_ahead();
    // Names read one by one from the file would cost a read each.
    if (const symbol_index* index = symbols()) index->keep_names();
}

bool loaded_module::line_at(const code_place& place, source_location& out) {
    const files_in_use scope{*this};
    line_source* source = lines();
    if (source == nullptr) return false;
    return source->lines->find(place.link_address - source->bias, out);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
