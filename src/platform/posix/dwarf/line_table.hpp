#ifndef KORVO_CALLTRAIL_POSIX_DWARF_LINE_TABLE_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_LINE_TABLE_HPP

// The line program of one unit, decoded into rows that a binary search can
// use, and the unit's file names made into paths.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/dwarf/attributes.hpp"
#include "platform/posix/support/built_once.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Address ranges, in the debug information's own addresses, that hold code of
// the loaded object. Rows and scopes elsewhere were discarded at link time
// (left at address 0) and would shadow real code.
struct code_ranges {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;

    bool holds(std::uint64_t address) const noexcept {
        for (const auto& r : ranges)
            if (address >= r.first && address < r.second) return true;
        return false;
    }
    // Whether any of [low, high) is code.
    bool overlaps(std::uint64_t low, std::uint64_t high) const noexcept {
        for (const auto& r : ranges)
            if (low < r.second && high > r.first) return true;
        return false;
    }
    std::uint64_t bytes() const noexcept {
        std::uint64_t total = 0;
        for (const auto& r : ranges) total += r.second > r.first ? r.second - r.first : 0;
        return total;
    }
};

struct line_row {
    std::uint64_t address;
    std::uint32_t file;
    std::uint32_t line;
};

// Rows of all sequences ordered by address, each sequence closed by a row
// whose file is end_of_sequence. Only rows in effect over some code are
// kept, and no two sequences overlap: a line program of any length gives at
// most as many rows as there are bytes of code.
class line_table {
public:
    static constexpr std::uint32_t end_of_sequence = 0xffffffffu;

    struct file_entry {
        const char* name;
        std::uint64_t directory;
    };

    bool read(const unit_context& unit, std::uint64_t offset, const char* comp_dir, const code_ranges& code);

    // The row in effect at an address, or null.
    const line_row* row_at(std::uint64_t address) const noexcept;
    // The path of a file number as the line program and DW_AT_call_file count
    // them; null when there is no such file. Made the first time it is asked
    // for, so that many files in one long directory cost only what is used.
    const std::string* path_of(std::uint64_t file) const;

private:
    std::string path_text(const file_entry& file) const;
    const char* directory_name(std::uint64_t index) const noexcept;

    std::vector<line_row> rows_;
    std::vector<file_entry> files_;
    // Names as the sections hold them, which stay readable.
    std::vector<const char*> directories_;
    // Kept as a copy: the unit's bytes it may come from are given back.
    std::string comp_dir_;
    bool has_comp_dir_ = false;
    // Versions 2 to 4 count the compilation directory as directory 0.
    bool directory_zero_is_comp_dir_ = false;
    std::unique_ptr<published<const std::string>[]> paths_;
    std::uint32_t first_file_ = 1;
};

// Joins a directory and a name the way paths in debug information combine;
// empty when the path would be longer than any path can be (longest_path).
std::string join_path(const char* directory, const char* name);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
