#include "platform/posix/dwarf/line_table.hpp"

#include <algorithm>
#include <cstring>

#include "platform/posix/dwarf/dwarf_constants.hpp"
#include "platform/posix/support/checked_arithmetic.hpp"
#include "platform/posix/support/leb128.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

using file_entry = line_table::file_entry;

struct sequence {
    std::uint64_t start;
    std::size_t begin;
    std::size_t end;
};

// What the header says about decoding the program that follows it.
struct program_header {
    std::uint16_t version = 0;
    std::uint8_t min_instruction_length = 0;
    std::int8_t line_base = 0;
    std::uint8_t line_range = 0;
    std::uint8_t opcode_base = 0;
    std::uint8_t argument_counts[256] = {};
    // Where the opcodes begin.
    std::size_t program = 0;
};

// The fields from the version to the standard opcodes' argument counts;
// `format_unit` takes the version and address size that later forms need.
bool read_program_header(dwarf_cursor& cursor, std::size_t end, unit_header& format_unit, program_header& h) {
    h.version = cursor.u16();
    if (h.version < 2 || h.version > 5) return false;
    format_unit.version = h.version;
    if (h.version >= 5) {
        format_unit.address_size = cursor.u8();
        cursor.u8(); // segment selector size
    }
    const std::uint64_t header_length = cursor.fixed(offset_size(format_unit));
    if (!cursor.ok() || header_length > end - cursor.position()) return false;
    h.program = cursor.position() + static_cast<std::size_t>(header_length);
    h.min_instruction_length = cursor.u8();
    if (h.version >= 4) cursor.u8(); // maximum operations per instruction: 1 outside VLIW targets
    cursor.u8();                     // default_is_stmt: every row counts for a return address
    h.line_base = static_cast<std::int8_t>(cursor.u8());
    h.line_range = cursor.u8();
    h.opcode_base = cursor.u8();
    if (!cursor.ok() || h.line_range == 0 || h.opcode_base == 0) return false;
    for (unsigned i = 1; i < h.opcode_base; ++i) h.argument_counts[i] = cursor.u8();
    return cursor.ok();
}

// One version 5 directory or file entry table, described by its own formats.
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
    // Entries of no fields name nothing, however many there are.
    if (formats.empty()) return true;
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

// Versions 2 to 4: NUL-terminated lists, directory 0 being the compilation
// directory itself, which the table holds apart.
bool read_v4_file_tables(dwarf_cursor& cursor, std::vector<file_entry>& directories, std::vector<file_entry>& files) {
    directories.push_back(file_entry{nullptr, 0});
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
    return cursor.ok();
}

// A line program's bytes, made readable whole before it runs: read in
// place, any read past the end failing the program.
class program_bytes {
public:
    program_bytes(const std::uint8_t* begin, const std::uint8_t* end) noexcept : p_(begin), end_(end) {}

    bool ok() const noexcept { return ok_; }
    bool at_end() const noexcept { return !ok_ || p_ >= end_; }
    std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - p_); }
    const std::uint8_t* here() const noexcept { return p_; }
    void move_to(const std::uint8_t* p) noexcept { p_ = p; }

    std::uint8_t u8() noexcept {
        if (p_ >= end_) return fail();
        return *p_++;
    }
    std::uint64_t fixed(unsigned size) noexcept {
        if (size > 8 || size > left()) return fail();
        std::uint64_t value = 0;
        for (unsigned i = 0; i < size; ++i) value |= std::uint64_t{p_[i]} << (8 * i);
        p_ += size;
        return value;
    }
    std::uint64_t uleb() noexcept {
        if (p_ < end_ && *p_ < 0x80) return *p_++;
        return read_uleb128(next_byte{*this});
    }
    std::int64_t sleb() noexcept { return read_sleb128(next_byte{*this}); }
    const char* c_string() noexcept {
        const void* nul = std::memchr(p_, 0, left());
        if (nul == nullptr) {
            fail();
            return nullptr;
        }
        const char* text = reinterpret_cast<const char*>(p_);
        p_ = static_cast<const std::uint8_t*>(nul) + 1;
        return text;
    }

private:
    struct next_byte {
        program_bytes& in;
        bool operator()(std::uint8_t& byte) noexcept {
            if (in.p_ >= in.end_) {
                in.fail();
                return false;
            }
            byte = *in.p_++;
            return true;
        }
    };

    std::uint8_t fail() noexcept {
        ok_ = false;
        return 0;
    }

    const std::uint8_t* p_;
    const std::uint8_t* end_;
    bool ok_ = true;
};

// The line-number state machine over one program. Rows of a sequence that
// does not start in code are dropped when the sequence ends; rows in effect
// over no code, as the next row shows, are dropped as they come. A sequence
// whose address runs past the top of the address space is dropped whole; a
// line number saturates, and one beyond what a row holds is no line.
class line_program {
public:
    line_program(const program_header& header, const code_ranges& code, std::vector<file_entry>& files)
        : h_(header), code_(code), files_(files) {}

    bool run(program_bytes& in) {
        const std::uint64_t const_add =
            (255u - h_.opcode_base) / h_.line_range * std::uint64_t{h_.min_instruction_length};
        // Compilers use a line range of 14: divided by a constant, a special
        // opcode costs no division.
        const bool usual_range = h_.line_range == 14;
        while (!in.at_end()) {
            const std::uint8_t opcode = in.u8();
            if (opcode >= h_.opcode_base) {
                const unsigned adjusted = opcode - h_.opcode_base;
                const unsigned steps = usual_range ? adjusted / 14 : adjusted / h_.line_range;
                const unsigned lines = usual_range ? adjusted % 14 : adjusted % h_.line_range;
                advance(steps * std::uint64_t{h_.min_instruction_length});
                line_ = saturated_add(line_, h_.line_base + static_cast<int>(lines));
                emit(false);
            } else if (opcode == 0) {
                if (!extended(in)) return false;
            } else if (opcode == DW_LNS_const_add_pc) {
                advance(const_add);
            } else {
                standard(opcode, in);
            }
        }
        return in.ok();
    }

    std::vector<line_row> rows;
    std::vector<sequence> sequences;

private:
    void advance(std::uint64_t bytes) noexcept {
        if (!checked_add(address_, bytes, address_)) overflowed_ = true;
    }

    void emit(bool last) {
        if (overflowed_) return;
        if (!started_) {
            sequence_start_ = address_;
            started_ = true;
        } else if (rows.size() > sequence_begin_ && rows.back().address <= address_ &&
                   !code_.overlaps(rows.back().address, address_)) {
            rows.pop_back();
        }
        rows.push_back(line_row{address_, last ? line_table::end_of_sequence : row_file(), row_line()});
    }

    // A file number a row cannot hold names no file.
    std::uint32_t row_file() const noexcept {
        return file_ < line_table::end_of_sequence ? static_cast<std::uint32_t>(file_)
                                                   : line_table::end_of_sequence - 1;
    }
    std::uint32_t row_line() const noexcept {
        return line_ > 0 && line_ <= std::int64_t{UINT32_MAX} ? static_cast<std::uint32_t>(line_) : 0;
    }

    void end_sequence() {
        emit(true);
        const std::size_t begin = sequence_begin_;
        if (!overflowed_ && rows.size() - begin > 1 && code_.holds(sequence_start_)) {
            // Rows of a sequence must ascend for the search; nearly always
            // they do already, and sorting would still copy them.
            const auto by_address = [](const line_row& a, const line_row& b) { return a.address < b.address; };
            const auto first = rows.begin() + static_cast<std::ptrdiff_t>(begin);
            if (!std::is_sorted(first, rows.end() - 1, by_address)) std::stable_sort(first, rows.end() - 1, by_address);
            rows.back().address = std::max(rows.back().address, rows[rows.size() - 2].address);
            sequences.push_back(sequence{rows[begin].address, begin, rows.size()});
        } else {
            rows.resize(begin);
        }
        sequence_begin_ = rows.size();
        started_ = false;
        overflowed_ = false;
        address_ = 0;
        file_ = 1;
        line_ = 1;
    }

    bool extended(program_bytes& in) {
        const std::uint64_t size = in.uleb();
        if (!in.ok() || size == 0 || size > in.left()) return false;
        const std::uint8_t* next = in.here() + size;
        const std::uint8_t opcode = in.u8();
        if (opcode == DW_LNE_end_sequence) {
            end_sequence();
        } else if (opcode == DW_LNE_set_address) {
            address_ = in.fixed(static_cast<unsigned>(size - 1));
        } else if (opcode == DW_LNE_define_file && h_.version < 5) {
            const char* name = in.c_string();
            const std::uint64_t directory = in.uleb();
            if (name != nullptr) files_.push_back(file_entry{name, directory});
        }
        in.move_to(next);
        return true;
    }

    void standard(std::uint8_t opcode, program_bytes& in) {
        switch (opcode) {
        case DW_LNS_copy:
            emit(false);
            break;
        case DW_LNS_advance_pc: {
            std::uint64_t bytes = 0;
            if (checked_multiply(in.uleb(), h_.min_instruction_length, bytes))
                advance(bytes);
            else
                overflowed_ = true;
            break;
        }
        case DW_LNS_advance_line:
            line_ = saturated_add(line_, in.sleb());
            break;
        case DW_LNS_set_file:
            file_ = in.uleb();
            break;
        case DW_LNS_fixed_advance_pc:
            advance(in.fixed(2));
            break;
        default:
            for (std::uint8_t i = 0; i < h_.argument_counts[opcode]; ++i) in.uleb();
            break;
        }
    }

    const program_header& h_;
    const code_ranges& code_;
    std::vector<file_entry>& files_;
    std::uint64_t address_ = 0;
    std::uint64_t file_ = 1;
    std::int64_t line_ = 1;
    std::size_t sequence_begin_ = 0;
    std::uint64_t sequence_start_ = 0;
    bool started_ = false;
    bool overflowed_ = false;
};

// Sequences by address, those that overlap one before them left out (a
// program can name the same code only so many times).
void keep_sequences(line_program& program, std::vector<line_row>& rows) {
    std::sort(program.sequences.begin(), program.sequences.end(),
              [](const sequence& a, const sequence& b) { return a.start < b.start; });
    rows.clear();
    rows.reserve(program.rows.size());
    for (const sequence& s : program.sequences) {
        if (!rows.empty() && s.start < rows.back().address) continue;
        rows.insert(rows.end(), program.rows.begin() + static_cast<std::ptrdiff_t>(s.begin),
                    program.rows.begin() + static_cast<std::ptrdiff_t>(s.end));
    }
    rows.shrink_to_fit();
}

} // namespace

bool line_table::read(const unit_context& unit, std::uint64_t offset, const char* comp_dir, const code_ranges& code) {
    section_data* section = unit.sections->line.get();
    if (section == nullptr || offset >= section->size()) return false;
    dwarf_cursor head(section, static_cast<std::size_t>(offset), section->size());
    unit_header format_unit = *unit.header;
    std::size_t end = 0;
    if (!read_initial_length(head, end, format_unit.offset64)) return false;
    dwarf_cursor cursor(section, head.position(), end);
    program_header header;
    if (!cursor.prefetch() || !read_program_header(cursor, end, format_unit, header)) return false;

    std::vector<file_entry> directories;
    files_.clear();
    if (header.version >= 5) {
        if (!read_entry_table(cursor, unit, format_unit, directories) ||
            !read_entry_table(cursor, unit, format_unit, files_))
            return false;
        first_file_ = 0;
    } else {
        if (!read_v4_file_tables(cursor, directories, files_)) return false;
        first_file_ = 1;
        directory_zero_is_comp_dir_ = true;
    }
    has_comp_dir_ = comp_dir != nullptr;
    if (has_comp_dir_) comp_dir_ = comp_dir;
    directories_.clear();
    directories_.reserve(directories.size());
    for (const file_entry& d : directories) directories_.push_back(d.name);

    // The header's end lies inside the program's bytes, which are readable.
    cursor.seek(header.program);
    if (!cursor.ok()) return false;
    program_bytes bytes(section->bytes() + cursor.position(), section->bytes() + end);
    line_program program(header, code, files_);
    // Compilers' programs give a row for every four or five of their bytes;
    // room for one in three, made at once, spares copies of the rows as
    // they grow, each into memory faulted in afresh.
    program.rows.reserve(bytes.left() / 3 + 2);
    if (!program.run(bytes)) return false;
    keep_sequences(program, rows_);
    files_.shrink_to_fit();
    paths_ = std::make_unique<published<const std::string>[]>(files_.size());
    return true;
}

const line_row* line_table::row_at(std::uint64_t address) const noexcept {
    auto after = std::upper_bound(rows_.begin(), rows_.end(), address,
                                  [](std::uint64_t a, const line_row& r) { return a < r.address; });
    if (after == rows_.begin()) return nullptr;
    const line_row& row = *(after - 1);
    return row.file == end_of_sequence ? nullptr : &row;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
