#ifndef KORVO_CALLTRAIL_TESTS_POSIX_ENGINE_CRAFTED_OBJECT_HPP
#define KORVO_CALLTRAIL_TESTS_POSIX_ENGINE_CRAFTED_OBJECT_HPP

// Objects written byte by byte: small ELF images whose debug information is
// shaped to make a reader do much more work than its size suggests.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace crafted {

using bytes = std::vector<std::uint8_t>;

// Code lies at [code_start, code_end) of every image, inside one executable
// segment that maps the whole image from address 0.
constexpr std::uint64_t code_start = 0x1000;
constexpr std::uint64_t code_end = 0x2000;
constexpr const char* function_name = "crafted_function";

struct writer {
    bytes out;
    void u8(std::uint64_t v) { out.push_back(static_cast<std::uint8_t>(v)); }
    // Little-endian, in 1 to 8 bytes.
    void fixed(std::uint64_t v, int size) {
        for (int i = 0; i < size; ++i) u8(v >> (8 * i));
    }
    void uleb(std::uint64_t v);
    void sleb(std::int64_t v);
    void text(const std::string& s) {
        out.insert(out.end(), s.begin(), s.end());
        u8(0);
    }
    // Writes a 32-bit length at `at` covering everything after it.
    void close_length(std::size_t at);
};

struct section {
    std::string name;
    std::uint32_t type;
    std::uint64_t flags;
    bytes contents;
};

// An image with a function symbol over the code and the given sections.
bytes elf_image(const std::vector<section>& extra);
// A section's contents as an ELF compressed section holds them.
bytes zlib_section(const bytes& contents);

// The amplifying inputs, as images.
// Many units without address tables sharing one long abbreviation table.
bytes shared_abbreviations(std::size_t units, std::size_t entries);
// Many units, each naming a table that starts one entry further into a long
// list of abbreviations: tables that overlap, as no toolchain writes them.
bytes overlapping_abbreviations(std::size_t units);
// Many inlined calls naming one long range list.
bytes shared_range_list(std::size_t inlined, std::size_t ranges);
// Many file entries, declared or defined by the line program, in one long
// directory.
bytes long_directory(std::size_t files, std::size_t directory_length, bool defined_by_program);
// One unit whose line program runs `program` first and then, when
// `closing_rows`, a sequence over the code at line 1 of "f.c".
bytes unit_with_line_program(const bytes& program, bool closing_rows = true);
// Two units over the two halves of the code, at lines 1 and 2, which
// .debug_aranges lists in sets naming the units in `order` (0 the first, 1
// the second; a unit may be named again).
bytes units_listed_in(const std::vector<int>& order);
// A compressed .debug_info (zlib, or zstd) whose one unit inflates to
// `unit_size` bytes.
bytes inflating_unit(std::size_t unit_size, bool zstd = false);
// A library without build-id whose debug link names `debug_name`, and a
// debug file that matches it by checksum.
bytes linked_library(const std::string& debug_name, std::uint32_t crc);
bytes linked_debug_file();

} // namespace crafted

#endif
