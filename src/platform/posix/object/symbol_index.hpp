#ifndef KORVO_CALLTRAIL_POSIX_OBJECT_SYMBOL_INDEX_HPP
#define KORVO_CALLTRAIL_POSIX_OBJECT_SYMBOL_INDEX_HPP

// The function symbols of one object, for looking an address up by name.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/support/built_once.hpp"
#include "platform/posix/object/elf_file.hpp"
#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// The functions of one object, sorted by address and built once, so that a
// lookup is a binary search instead of a walk over the symbol table. The
// symbol tables are read in pieces and let go; entries refer to the string
// tables for their names, which keeps the index small. A small table is kept
// in the index; a large one is read whole only while the index is built, and
// afterwards name by name from its file, as lookups want them: a trace names
// a few functions of the thousands a library has. Names are demangled on
// first use and kept. Lookups and name reads are safe from many threads at
// once.
class symbol_index {
public:
    struct function {
        std::uint64_t start;
        std::uint32_t size;
        // Where its name is in its string table; the top bit marks the
        // second table's.
        std::uint32_t name;
    };

    // A symbol table of `file` (.symtab, or .dynsym when `dynamic`); `bias`
    // moves the file's addresses to those of the loaded object's file.
    struct table_source {
        const elf_file* file;
        bool dynamic;
        std::uint64_t bias;
    };

    // From one table. Null when the file has no such table.
    static std::unique_ptr<symbol_index> build(const elf_file& file, bool dynamic, std::uint64_t bias);
    // From one or two tables read as one, e.g. a stripped object's dynamic
    // symbols with the full table its MiniDebugInfo keeps. Null when none of
    // them can be read.
    static std::unique_ptr<symbol_index> build(const table_source* sources, std::size_t count);

    symbol_index(const symbol_index&) = delete;
    symbol_index& operator=(const symbol_index&) = delete;

    // The function that holds a link-time address, or null. `nearest` tells
    // whether it is also the function that starts closest below it, so that
    // no other function can hold a lower address closer to it.
    const function* find(std::uint64_t address, bool* nearest = nullptr) const noexcept;
    // Its display name: demangled when mangled, without a symbol version.
    // Empty when its table's file can no longer give it; asked again, it is
    // read again.
    std::string_view name_of(const function& f) const;
    // The function whose symbol (or an alias of it) has this name, without
    // its version; null when none has. A walk over all of them, for which a
    // table read by name is read whole and kept.
    const function* find_named(std::string_view symbol_name) const;
    // Reads the tables read by name whole and keeps them, for a caller that
    // names most of an object's functions.
    void keep_names() const;

    const std::vector<function>& functions() const noexcept { return functions_; }

private:
    // Display names, in blocks made on first use: a plain name refers to
    // its string table, a demangled one to its own text.
    struct display_name_text {
        // A demangled name, or one read from the file.
        std::string own;
        std::string_view text;
    };
    static constexpr std::size_t block_size = 256;
    struct name_block {
        published<const display_name_text> names[block_size];
    };

    // A string table. `names` is null once the index is built when the
    // table is read by name.
    struct whole_names {
        unfilled_bytes bytes;
    };
    struct table {
        std::unique_ptr<section_data> bytes;
        const char* names = nullptr;
        std::size_t names_size = 0;
        mutable published<const whole_names> whole_for_walks;
    };
    static constexpr std::uint32_t second_table = 0x80000000u;

    // Another name at the address of functions_[function].
    struct alias {
        std::uint32_t function;
        std::uint32_t name;
    };

    symbol_index() = default;
    // The steps of build().
    struct candidate;
    static bool open_table(const table_source& source, table& out);
    static void sort_by_start(std::vector<candidate>& list);
    bool collect(const table_source& source, std::uint32_t table_bit, std::vector<candidate>& found) const;
    void keep_best_aliases(std::vector<candidate>& list);
    void index_pages();
    const table& table_of(std::uint32_t name) const noexcept { return tables_[(name & second_table) != 0 ? 1 : 0]; }
    // The name's bytes to its end, in place or read into `copy`; false when
    // the file cannot give them.
    bool name_bytes(std::uint32_t name, std::string& copy, std::string_view& out) const;
    bool raw_name(std::uint32_t name, std::string& copy, std::string_view& out) const;
    const char* names_for_walk(const table& t) const;
    bool names_exactly(const char* names, std::size_t names_size, std::uint32_t offset,
                       std::string_view symbol_name) const noexcept;
    std::string display_name(std::size_t function, std::string_view raw) const;

    std::vector<function> functions_;
    // The aliases not chosen, by function and then best first: a chosen name
    // the demangler cannot read gives way to one it can.
    std::vector<alias> aliases_;
    // For each page of the address range, the first function starting in or
    // after it: a lookup searches one page's functions, not all of them.
    std::uint64_t page_base_ = 0;
    std::vector<std::uint32_t> page_first_;
    table tables_[2];
    std::unique_ptr<published<name_block>[]> blocks_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
