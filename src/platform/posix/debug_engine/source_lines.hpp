#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_SOURCE_LINES_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_SOURCE_LINES_HPP

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dwarf_unit.hpp"
#include "elf_file.hpp"
#include "line_program.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct source_location {
    const std::string* path = nullptr;
    std::uint32_t line = 0;
};

struct inline_site {
    std::uint64_t low;
    std::uint64_t high;
    std::uint32_t file;
    std::uint32_t line;
};

// What one unit says about its addresses: its line table and where inlined
// code was entered from the function it was inlined into.
struct unit_lines {
    line_table lines;
    std::vector<inline_site> sites;

    bool find(std::uint64_t address, source_location& out) const noexcept;
};

// Which unit holds an address, and that unit's data once read.
struct unit_index {
    struct range {
        std::uint64_t low;
        std::uint64_t high;
        std::uint32_t unit;
    };
    std::vector<range> ranges;
    std::vector<std::uint64_t> offsets;
    std::unique_ptr<std::atomic<const unit_lines*>[]> data;

    // The unit number, or -1.
    long find(std::uint64_t address) const noexcept;
    void finish();
    ~unit_index();
};

// Source lines of one object from its DWARF. A unit is read the first time
// one of its addresses is asked for; its data is then immutable, so lookups
// in units already read take no lock.
class source_lines {
public:
    // Null when `file` has no debug information. `code` is where the loaded
    // object has code, in the addresses of `file`.
    static std::unique_ptr<source_lines> open(const elf_file& file, code_ranges code);

    ~source_lines() = default;
    source_lines(const source_lines&) = delete;
    source_lines& operator=(const source_lines&) = delete;

    // The file and line of the code at an address of `file`. An address in
    // code inlined into a function gives the line of that function from which
    // the inlined code was entered.
    bool find(std::uint64_t address, source_location& out);

private:
    source_lines() = default;

    const unit_lines* unit(const unit_index& index, long number);
    bool scan_units(unit_index& index, const std::vector<std::uint64_t>* skip);
    bool read_aranges(unit_index& index);

    std::mutex build_;
    dwarf_sections sections_;
    code_ranges code_;
    bool info_compressed_ = false;
    unit_index primary_;
    // Units that .debug_aranges left out, found on the first miss.
    std::unique_ptr<unit_index> unlisted_;
    std::atomic<const unit_index*> unlisted_ready_{nullptr};
    bool unlisted_scanned_ = false;
    bool primary_from_aranges_ = false;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
