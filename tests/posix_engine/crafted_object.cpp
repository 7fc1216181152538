#include "crafted_object.hpp"

#include <dwarf.h>
#include <elf.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>

namespace crafted {

namespace {

void put(bytes& out, std::size_t at, std::uint64_t v, int size) {
    for (int i = 0; i < size; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::size_t aligned(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

// Newer than some systems' <elf.h>.
constexpr std::uint32_t elf_compress_zstd = 2;

// One abbreviation: code, tag, children, then (name, form) pairs.
void abbreviation(writer& w, std::uint64_t code, std::uint64_t tag, bool children,
                  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& attributes) {
    w.uleb(code);
    w.uleb(tag);
    w.u8(children ? 1 : 0);
    for (const auto& a : attributes) {
        w.uleb(a.first);
        w.uleb(a.second);
    }
    w.u8(0);
    w.u8(0);
}

// A version 4 unit header; returns where its length goes.
std::size_t unit_header(writer& w) {
    const std::size_t at = w.out.size();
    w.fixed(0, 4);
    w.fixed(4, 2);
    w.fixed(0, 4); // abbreviations at 0
    w.u8(8);
    return at;
}

// A version 4 line program over the code, with the given tables; `program`
// goes before the rows.
bytes line_program(const std::vector<std::string>& directories, std::size_t files, const bytes& program,
                   bool closing_rows = true) {
    writer w;
    w.fixed(0, 4);
    w.fixed(4, 2);
    const std::size_t header_length_at = w.out.size();
    w.fixed(0, 4);
    for (int b : {1, 1, 1, 0xfb, 14, 13}) w.u8(b);
    for (int b : {0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1}) w.u8(b);
    for (const std::string& d : directories) w.text(d);
    w.u8(0);
    for (std::size_t i = 0; i < files; ++i) {
        w.text("f.c");
        w.uleb(directories.empty() ? 0 : 1);
        w.uleb(0);
        w.uleb(0);
    }
    w.u8(0);
    put(w.out, header_length_at, w.out.size() - header_length_at - 4, 4);
    w.out.insert(w.out.end(), program.begin(), program.end());
    if (closing_rows) {
        for (int b : {0, 9, int{DW_LNE_set_address}}) w.u8(b);
        w.fixed(code_start, 8);
        w.u8(DW_LNS_copy);
        w.u8(DW_LNS_advance_pc);
        w.uleb(code_end - code_start);
        for (int b : {0, 1, int{DW_LNE_end_sequence}}) w.u8(b);
    }
    w.close_length(0);
    return w.out;
}

// A unit root over the code with a line program at 0.
const std::vector<std::pair<std::uint64_t, std::uint64_t>> root_attributes = {
    {DW_AT_low_pc, DW_FORM_addr}, {DW_AT_high_pc, DW_FORM_data4}, {DW_AT_stmt_list, DW_FORM_sec_offset}};

void root_entry(writer& w) {
    w.uleb(1);
    w.fixed(code_start, 8);
    w.fixed(code_end - code_start, 4);
    w.fixed(0, 4);
}

section plain(const char* name, bytes contents) { return section{name, SHT_PROGBITS, 0, std::move(contents)}; }

} // namespace

void writer::uleb(std::uint64_t v) {
    do {
        std::uint8_t b = v & 0x7f;
        v >>= 7;
        if (v != 0) b |= 0x80;
        u8(b);
    } while (v != 0);
}

void writer::sleb(std::int64_t v) {
    for (;;) {
        const std::uint8_t b = v & 0x7f;
        v >>= 7;
        if ((v == 0 && (b & 0x40) == 0) || (v == -1 && (b & 0x40) != 0)) {
            u8(b);
            return;
        }
        u8(b | 0x80);
    }
}

void writer::close_length(std::size_t at) { put(out, at, out.size() - at - 4, 4); }

bytes elf_image(const std::vector<section>& extra) {
    std::vector<section> all;
    bytes text(code_end - code_start, 0xc3);
    all.push_back(section{".text", SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, text});
    all.insert(all.end(), extra.begin(), extra.end());
    const std::uint32_t symtab_index = static_cast<std::uint32_t>(all.size() + 1);
    writer strings;
    strings.u8(0);
    strings.text(function_name);
    writer symbols;
    symbols.out.resize(sizeof(Elf64_Sym));
    Elf64_Sym function{};
    function.st_name = 1;
    function.st_info = ELF64_ST_INFO(STB_GLOBAL, STT_FUNC);
    function.st_shndx = 1;
    function.st_value = code_start;
    function.st_size = code_end - code_start;
    symbols.out.resize(2 * sizeof(Elf64_Sym));
    std::memcpy(symbols.out.data() + sizeof(Elf64_Sym), &function, sizeof function);
    all.push_back(section{".symtab", SHT_SYMTAB, 0, symbols.out});
    all.push_back(section{".strtab", SHT_STRTAB, 0, strings.out});
    writer names;
    names.u8(0);
    std::vector<std::uint32_t> name_at;
    for (const section& s : all) {
        name_at.push_back(static_cast<std::uint32_t>(names.out.size()));
        names.text(s.name);
    }
    name_at.push_back(static_cast<std::uint32_t>(names.out.size()));
    names.text(".shstrtab");
    all.push_back(section{".shstrtab", SHT_STRTAB, 0, names.out});

    bytes image(code_start, 0);
    std::vector<std::size_t> offsets;
    for (const section& s : all) {
        image.resize(aligned(image.size()));
        offsets.push_back(image.size());
        image.insert(image.end(), s.contents.begin(), s.contents.end());
    }
    image.resize(aligned(image.size()));
    const std::size_t headers_at = image.size();
    image.resize(headers_at + (all.size() + 1) * sizeof(Elf64_Shdr));
    for (std::size_t i = 0; i < all.size(); ++i) {
        Elf64_Shdr h{};
        h.sh_name = name_at[i];
        h.sh_type = all[i].type;
        h.sh_flags = all[i].flags;
        h.sh_addr = i == 0 ? code_start : 0;
        h.sh_offset = offsets[i];
        h.sh_size = all[i].contents.size();
        h.sh_link = static_cast<std::uint32_t>(i + 1 == symtab_index ? symtab_index + 1 : 0);
        h.sh_addralign = 1;
        h.sh_entsize = all[i].type == SHT_SYMTAB ? sizeof(Elf64_Sym) : 0;
        std::memcpy(image.data() + headers_at + (i + 1) * sizeof h, &h, sizeof h);
    }

    Elf64_Ehdr e{};
    std::memcpy(e.e_ident, ELFMAG, SELFMAG);
    e.e_ident[EI_CLASS] = ELFCLASS64;
    e.e_ident[EI_DATA] = ELFDATA2LSB;
    e.e_ident[EI_VERSION] = EV_CURRENT;
    e.e_type = ET_DYN;
    e.e_machine = EM_X86_64;
    e.e_version = EV_CURRENT;
    e.e_phoff = sizeof e;
    e.e_shoff = headers_at;
    e.e_ehsize = sizeof e;
    e.e_phentsize = sizeof(Elf64_Phdr);
    e.e_phnum = 1;
    e.e_shentsize = sizeof(Elf64_Shdr);
    e.e_shnum = static_cast<std::uint16_t>(all.size() + 1);
    e.e_shstrndx = static_cast<std::uint16_t>(all.size());
    std::memcpy(image.data(), &e, sizeof e);
    Elf64_Phdr load{};
    load.p_type = PT_LOAD;
    load.p_flags = PF_R | PF_X;
    load.p_filesz = code_end;
    load.p_memsz = code_end;
    load.p_align = 0x1000;
    std::memcpy(image.data() + sizeof e, &load, sizeof load);
    return image;
}

bytes zlib_section(const bytes& contents) {
    uLongf size = compressBound(contents.size());
    bytes stream(size);
    compress2(stream.data(), &size, contents.data(), contents.size(), 9);
    writer w;
    w.fixed(ELFCOMPRESS_ZLIB, 4);
    w.fixed(0, 4);
    w.fixed(contents.size(), 8);
    w.fixed(1, 8);
    w.out.insert(w.out.end(), stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(size));
    return w.out;
}

bytes shared_abbreviations(std::size_t units, std::size_t entries) {
    writer abbrev;
    abbreviation(abbrev, 1, DW_TAG_compile_unit, false, root_attributes);
    for (std::size_t code = 2; code <= entries; ++code)
        abbreviation(abbrev, code, DW_TAG_variable, false, {{DW_AT_name, DW_FORM_string}, {DW_AT_type, DW_FORM_ref4}});
    abbrev.u8(0);
    writer info;
    for (std::size_t i = 0; i < units; ++i) {
        const std::size_t at = unit_header(info);
        root_entry(info);
        info.close_length(at);
    }
    return elf_image({plain(".debug_info", info.out), plain(".debug_abbrev", abbrev.out),
                      plain(".debug_line", line_program({}, 1, {}))});
}

bytes overlapping_abbreviations(std::size_t units) {
    writer abbrev;
    std::vector<std::size_t> offsets;
    for (std::size_t code = 1; code <= units; ++code) {
        offsets.push_back(abbrev.out.size());
        abbreviation(abbrev, code, DW_TAG_compile_unit, false, root_attributes);
    }
    abbrev.u8(0);
    writer info;
    for (std::size_t i = 0; i < units; ++i) {
        const std::size_t at = info.out.size();
        info.fixed(0, 4);
        info.fixed(4, 2);
        info.fixed(offsets[i], 4);
        info.u8(8);
        info.uleb(i + 1);
        info.fixed(code_start, 8);
        info.fixed(code_end - code_start, 4);
        info.fixed(0, 4);
        info.close_length(at);
    }
    return elf_image({plain(".debug_info", info.out), plain(".debug_abbrev", abbrev.out),
                      plain(".debug_line", line_program({}, 1, {}))});
}

bytes shared_range_list(std::size_t inlined, std::size_t ranges) {
    writer abbrev;
    abbreviation(abbrev, 1, DW_TAG_compile_unit, true, root_attributes);
    abbreviation(abbrev, 2, DW_TAG_subprogram, true, {{DW_AT_low_pc, DW_FORM_addr}, {DW_AT_high_pc, DW_FORM_data4}});
    abbreviation(
        abbrev, 3, DW_TAG_inlined_subroutine, false,
        {{DW_AT_ranges, DW_FORM_sec_offset}, {DW_AT_call_file, DW_FORM_data1}, {DW_AT_call_line, DW_FORM_data1}});
    abbrev.u8(0);
    writer info;
    const std::size_t at = unit_header(info);
    root_entry(info);
    info.u8(2);
    info.fixed(code_start, 8);
    info.fixed(code_end - code_start, 4);
    for (std::size_t i = 0; i < inlined; ++i) {
        info.u8(3);
        info.fixed(0, 4);
        info.u8(1);
        info.u8(7);
    }
    info.u8(0);
    info.u8(0);
    info.close_length(at);
    writer list;
    for (std::size_t i = 0; i < ranges; ++i) {
        // Offsets from the unit's base, inside the code.
        const std::uint64_t low = i % (code_end - code_start - 1);
        list.fixed(low, 8);
        list.fixed(low + 1, 8);
    }
    list.fixed(0, 8);
    list.fixed(0, 8);
    return elf_image({plain(".debug_info", info.out), plain(".debug_abbrev", abbrev.out),
                      plain(".debug_line", line_program({}, 1, {})), plain(".debug_ranges", list.out)});
}

namespace {

bytes unit_with_lines(const bytes& lines) {
    writer abbrev;
    abbreviation(abbrev, 1, DW_TAG_compile_unit, false, root_attributes);
    abbrev.u8(0);
    writer info;
    const std::size_t at = unit_header(info);
    root_entry(info);
    info.close_length(at);
    return elf_image({plain(".debug_info", info.out), plain(".debug_abbrev", abbrev.out), plain(".debug_line", lines)});
}

} // namespace

bytes unit_with_line_program(const bytes& program, bool closing_rows) {
    return unit_with_lines(line_program({}, 1, program, closing_rows));
}

bytes units_listed_in(const std::vector<int>& order) {
    using field = std::pair<std::uint64_t, int>;
    constexpr std::uint64_t half = (code_end - code_start) / 2;
    writer abbrev, info, lines, aranges;
    abbreviation(abbrev, 1, DW_TAG_compile_unit, false, root_attributes);
    abbrev.u8(0);
    std::size_t unit_at[2] = {};
    for (std::uint8_t unit = 0; unit < 2; ++unit) {
        unit_at[unit] = unit_header(info);
        for (const field& f : {field{1, 1}, {code_start + unit * half, 8}, {half, 4}, {lines.out.size(), 4}})
            info.fixed(f.first, f.second);
        info.close_length(unit_at[unit]);
        const bytes program = line_program({}, 1, {DW_LNS_advance_line, unit});
        lines.out.insert(lines.out.end(), program.begin(), program.end());
    }
    // Version 2 sets of 8-byte addresses, their tuples 16-aligned.
    for (const int unit : order) {
        const std::size_t at = aranges.out.size();
        for (const field& f :
             {field{0, 4}, {2, 2}, {unit_at[unit], 4}, {8, 6}, {code_start + unit * half, 8}, {half, 8}, {0, 8}})
            aranges.fixed(f.first, f.second);
        aranges.fixed(0, 8);
        aranges.close_length(at);
    }
    return elf_image({plain(".debug_info", info.out), plain(".debug_abbrev", abbrev.out),
                      plain(".debug_line", lines.out), plain(".debug_aranges", aranges.out)});
}

bytes long_directory(std::size_t files, std::size_t directory_length, bool defined_by_program) {
    const std::string directory = "/" + std::string(directory_length - 1, 'd');
    writer program;
    if (defined_by_program) {
        for (std::size_t i = 0; i < files; ++i) {
            for (int b : {0, 8, int{DW_LNE_define_file}}) program.u8(b);
            program.text("f.c");
            program.uleb(1);
            program.uleb(0);
            program.uleb(0);
        }
    }
    return unit_with_lines(line_program({directory}, defined_by_program ? 1 : files, program.out));
}

namespace {

// A stream compressed as it is fed, never held whole.
class compressor {
public:
    explicit compressor(bool zstd) : zstd_(zstd) {
        if (zstd_)
            zstd_stream_ = ZSTD_createCCtx();
        else
            deflateInit(&zlib_stream_, 9);
    }
    ~compressor() {
        if (zstd_)
            ZSTD_freeCCtx(zstd_stream_);
        else
            deflateEnd(&zlib_stream_);
    }
    compressor(const compressor&) = delete;
    compressor& operator=(const compressor&) = delete;

    void feed(const std::uint8_t* data, std::size_t size, bool last) {
        std::uint8_t out[1 << 16];
        if (zstd_) {
            ZSTD_inBuffer in{data, size, 0};
            std::size_t left = 0;
            do {
                ZSTD_outBuffer o{out, sizeof out, 0};
                left = ZSTD_compressStream2(zstd_stream_, &o, &in, last ? ZSTD_e_end : ZSTD_e_continue);
                stream.insert(stream.end(), out, out + o.pos);
            } while (last ? left != 0 : in.pos < in.size);
            return;
        }
        zlib_stream_.next_in = const_cast<Bytef*>(data);
        zlib_stream_.avail_in = static_cast<uInt>(size);
        do {
            zlib_stream_.next_out = out;
            zlib_stream_.avail_out = sizeof out;
            deflate(&zlib_stream_, last ? Z_FINISH : Z_NO_FLUSH);
            stream.insert(stream.end(), out, out + (sizeof out - zlib_stream_.avail_out));
        } while (zlib_stream_.avail_out == 0);
    }

    bytes stream;

private:
    bool zstd_;
    z_stream zlib_stream_{};
    ZSTD_CCtx* zstd_stream_ = nullptr;
};

} // namespace

bytes inflating_unit(std::size_t unit_size, bool zstd) {
    writer abbrev;
    abbreviation(abbrev, 1, DW_TAG_compile_unit, true, root_attributes);
    abbreviation(abbrev, 2, DW_TAG_variable, false, {});
    abbrev.u8(0);
    writer head;
    unit_header(head);
    put(head.out, 0, unit_size - 4, 4);
    root_entry(head);
    // Entries of one byte each fill the unit; its last byte ends the root's
    // children. Compressed as they go, never held whole.
    compressor c(zstd);
    bytes chunk(1 << 20, 2);
    std::size_t left = unit_size - head.out.size();
    c.feed(head.out.data(), head.out.size(), false);
    while (left > 1) {
        const std::size_t n = std::min(left - 1, chunk.size());
        c.feed(chunk.data(), n, false);
        left -= n;
    }
    const std::uint8_t end = 0;
    c.feed(&end, 1, true);
    writer info;
    info.fixed(zstd ? elf_compress_zstd : ELFCOMPRESS_ZLIB, 4);
    info.fixed(0, 4);
    info.fixed(unit_size, 8);
    info.fixed(1, 8);
    info.out.insert(info.out.end(), c.stream.begin(), c.stream.end());
    return elf_image({section{".debug_info", SHT_PROGBITS, SHF_COMPRESSED, info.out},
                      plain(".debug_abbrev", abbrev.out), plain(".debug_line", line_program({}, 1, {}))});
}

bytes linked_library(const std::string& debug_name, std::uint32_t crc) {
    writer link;
    link.text(debug_name);
    while (link.out.size() % 4 != 0) link.u8(0);
    link.fixed(crc, 4);
    return elf_image({plain(".gnu_debuglink", link.out)});
}

bytes linked_debug_file() {
    writer abbrev;
    abbreviation(abbrev, 1, DW_TAG_compile_unit, false, root_attributes);
    abbrev.u8(0);
    writer info;
    const std::size_t at = unit_header(info);
    root_entry(info);
    info.close_length(at);
    return elf_image({plain(".debug_info", info.out), plain(".debug_abbrev", abbrev.out),
                      plain(".debug_line", line_program({"/src"}, 1, {}))});
}

} // namespace crafted
