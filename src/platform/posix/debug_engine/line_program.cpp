#include "line_program.hpp"

#include <dwarf.h>

#include <algorithm>
#include <cstring>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

struct file_entry {
    const char* name;
    std::uint64_t directory;
};

struct sequence {
    std::uint64_t start;
    std::size_t begin;
    std::size_t end;
};

bool absolute(const char* path) { return path != nullptr && path[0] == '/'; }

// Reads one version 5 directory or file entry table.
bool read_entry_table(dwarf_cursor& cursor, const unit_context& unit, const unit_header& format_unit,
                      std::vector<file_entry>& out) {
    struct format {
        std::uint64_t content;
        std::uint32_t form;
    };
    const std::uint8_t format_count = cursor.u8();
    std::vector<format> formats(format_count);
    for (format& f : formats) {
        f.content = cursor.uleb();
        f.form = static_cast<std::uint32_t>(cursor.uleb());
    }
    const std::uint64_t count = cursor.uleb();
    if (!cursor.ok() || count > cursor.limit() - cursor.position()) return false;
    out.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        file_entry entry{nullptr, 0};
        for (const format& f : formats) {
            attribute_value value;
            if (!read_attribute(cursor, f.form, 0, format_unit, value)) return false;
            if (f.content == DW_LNCT_path)
                entry.name = attribute_string(unit, value);
            else if (f.content == DW_LNCT_directory_index)
                entry.directory = value.value;
        }
        out.push_back(entry);
    }
    return cursor.ok();
}

} // namespace

std::string join_path(const char* directory, const char* name) {
    std::string path;
    if (absolute(name) || directory == nullptr || directory[0] == '\0') {
        path.assign(name != nullptr ? name : "");
        return path;
    }
    const std::size_t length = std::strlen(directory);
    path.reserve(length + 1 + std::strlen(name));
    path.assign(directory, length);
    if (path.back() != '/') path.push_back('/');
    path.append(name);
    return path;
}

bool line_table::read(const unit_context& unit, std::uint64_t offset, const char* comp_dir, const code_ranges& code) {
    section_data* section = unit.sections->line.get();
    if (section == nullptr || offset >= section->size()) return false;
    dwarf_cursor head(section, static_cast<std::size_t>(offset), section->size());

    unit_header format_unit = *unit.header;
    std::uint64_t length = head.u32();
    format_unit.offset64 = length == 0xffffffffu;
    if (format_unit.offset64) length = head.u64();
    if (!head.ok() || length > section->size() - head.position()) return false;
    const std::size_t end = head.position() + static_cast<std::size_t>(length);
    dwarf_cursor cursor(section, head.position(), end);
    if (!cursor.prefetch()) return false;

    const std::uint16_t version = cursor.u16();
    if (version < 2 || version > 5) return false;
    format_unit.version = version;
    if (version >= 5) {
        format_unit.address_size = cursor.u8();
        cursor.u8(); // segment selector size
    }
    const std::uint64_t header_length = cursor.fixed(format_unit.offset64 ? 8 : 4);
    if (!cursor.ok() || header_length > end - cursor.position()) return false;
    const std::size_t program = cursor.position() + static_cast<std::size_t>(header_length);
    const std::uint8_t min_instruction_length = cursor.u8();
    if (version >= 4) cursor.u8(); // maximum operations per instruction: 1 outside VLIW targets
    cursor.u8();                   // default_is_stmt: every row counts for a return address
    const std::int8_t line_base = static_cast<std::int8_t>(cursor.u8());
    const std::uint8_t line_range = cursor.u8();
    const std::uint8_t opcode_base = cursor.u8();
    if (!cursor.ok() || line_range == 0 || opcode_base == 0) return false;
    std::vector<std::uint8_t> argument_counts(opcode_base);
    for (std::uint8_t i = 1; i < opcode_base; ++i) argument_counts[i] = cursor.u8();

    std::vector<file_entry> directories;
    std::vector<file_entry> files;
    if (version >= 5) {
        if (!read_entry_table(cursor, unit, format_unit, directories) ||
            !read_entry_table(cursor, unit, format_unit, files))
            return false;
        first_file_ = 0;
    } else {
        directories.push_back(file_entry{comp_dir, 0});
        for (;;) {
            const char* name = cursor.c_string();
            if (name == nullptr) return false;
            if (name[0] == '\0') break;
            directories.push_back(file_entry{name, 0});
        }
        for (;;) {
            const char* name = cursor.c_string();
            if (name == nullptr) return false;
            if (name[0] == '\0') break;
            const std::uint64_t directory = cursor.uleb();
            cursor.uleb(); // modification time
            cursor.uleb(); // length
            files.push_back(file_entry{name, directory});
        }
        first_file_ = 1;
    }
    if (!cursor.ok()) return false;

    const char* base_directory = comp_dir != nullptr ? comp_dir : !directories.empty() ? directories[0].name : nullptr;
    auto path_for = [&](const file_entry& file) {
        if (file.name == nullptr) return std::string();
        const char* directory =
            file.directory < directories.size() ? directories[static_cast<std::size_t>(file.directory)].name : nullptr;
        std::string path = join_path(directory, file.name);
        // Directory 0 is the compilation directory itself.
        if (!absolute(path.c_str()) && base_directory != nullptr && file.directory != 0)
            path = join_path(base_directory, path.c_str());
        return path;
    };
    paths_.clear();
    paths_.reserve(files.size());
    for (const file_entry& file : files) paths_.push_back(path_for(file));

    // The state machine; rows of a sequence that does not start in code are
    // dropped when the sequence ends.
    cursor.seek(program);
    std::vector<line_row> rows;
    std::vector<sequence> sequences;
    std::uint64_t address = 0;
    std::uint64_t file = 1;
    std::int64_t line = 1;
    std::size_t sequence_begin = 0;
    auto emit = [&](bool last) {
        rows.push_back(line_row{address, last ? end_of_sequence : static_cast<std::uint32_t>(file),
                                static_cast<std::uint32_t>(line < 0 ? 0 : line)});
    };
    auto reset = [&] {
        address = 0;
        file = 1;
        line = 1;
    };
    const std::uint64_t const_add = (255u - opcode_base) / line_range * std::uint64_t{min_instruction_length};
    while (!cursor.at_end()) {
        const std::uint8_t opcode = cursor.u8();
        if (opcode >= opcode_base) {
            const unsigned adjusted = opcode - opcode_base;
            address += adjusted / line_range * std::uint64_t{min_instruction_length};
            line += line_base + static_cast<int>(adjusted % line_range);
            emit(false);
            continue;
        }
        switch (opcode) {
        case 0: {
            const std::uint64_t size = cursor.uleb();
            if (!cursor.ok() || size == 0 || size > cursor.limit() - cursor.position()) return false;
            const std::size_t next = cursor.position() + static_cast<std::size_t>(size);
            const std::uint8_t extended = cursor.u8();
            if (extended == DW_LNE_end_sequence) {
                emit(true);
                const std::size_t begin = sequence_begin;
                if (rows.size() - begin > 1 && code.holds(rows[begin].address)) {
                    // Rows of a sequence must ascend for the search.
                    std::stable_sort(rows.begin() + static_cast<std::ptrdiff_t>(begin), rows.end() - 1,
                                     [](const line_row& a, const line_row& b) { return a.address < b.address; });
                    rows.back().address = std::max(rows.back().address, rows[rows.size() - 2].address);
                    sequences.push_back(sequence{rows[begin].address, begin, rows.size()});
                } else {
                    rows.resize(begin);
                }
                sequence_begin = rows.size();
                reset();
            } else if (extended == DW_LNE_set_address) {
                address = cursor.fixed(static_cast<unsigned>(size - 1));
            } else if (extended == DW_LNE_define_file && version < 5) {
                const char* name = cursor.c_string();
                const std::uint64_t directory = cursor.uleb();
                if (name != nullptr) paths_.push_back(path_for(file_entry{name, directory}));
            }
            cursor.seek(next);
            break;
        }
        case DW_LNS_copy:
            emit(false);
            break;
        case DW_LNS_advance_pc:
            address += cursor.uleb() * min_instruction_length;
            break;
        case DW_LNS_advance_line:
            line += cursor.sleb();
            break;
        case DW_LNS_set_file:
            file = cursor.uleb();
            break;
        case DW_LNS_const_add_pc:
            address += const_add;
            break;
        case DW_LNS_fixed_advance_pc:
            address += cursor.u16();
            break;
        default:
            for (std::uint8_t i = 0; i < argument_counts[opcode]; ++i) cursor.uleb();
            break;
        }
    }
    if (!cursor.ok()) return false;

    std::sort(sequences.begin(), sequences.end(),
              [](const sequence& a, const sequence& b) { return a.start < b.start; });
    rows_.clear();
    rows_.reserve(rows.size());
    for (const sequence& s : sequences)
        rows_.insert(rows_.end(), rows.begin() + static_cast<std::ptrdiff_t>(s.begin),
                     rows.begin() + static_cast<std::ptrdiff_t>(s.end));
    return true;
}

const line_row* line_table::row_at(std::uint64_t address) const noexcept {
    auto after = std::upper_bound(rows_.begin(), rows_.end(), address,
                                  [](std::uint64_t a, const line_row& r) { return a < r.address; });
    if (after == rows_.begin()) return nullptr;
    const line_row& row = *(after - 1);
    return row.file == end_of_sequence ? nullptr : &row;
}

const std::string* line_table::path_of(std::uint64_t file) const noexcept {
    if (file < first_file_ || file - first_file_ >= paths_.size()) return nullptr;
    const std::string& path = paths_[static_cast<std::size_t>(file - first_file_)];
    return path.empty() ? nullptr : &path;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
