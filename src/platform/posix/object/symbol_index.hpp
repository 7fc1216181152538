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

namespace korvo {
namespace calltrail {
namespace posix_engine {

// The functions of one object, sorted by address and built once, so that a
// lookup is a binary search instead of a walk over the symbol table. Entries
// refer back to the (mapped) symbol table for their names, which keeps the
// index small; names are demangled on first use and kept. Lookups and name
// reads are safe from many threads at once.
class symbol_index {
public:
    struct function {
        std::uint64_t start;
        std::uint32_t size;
        std::uint32_t symbol;
    };

    // From the symbol table of `file` (.symtab, or .dynsym when `dynamic`);
    // `bias` moves the file's addresses to those of the loaded object's file.
    // Null when the file has no such table. `file` must outlive the index.
    static std::unique_ptr<symbol_index> build(const elf_file& file, bool dynamic, std::uint64_t bias);

    symbol_index(const symbol_index&) = delete;
    symbol_index& operator=(const symbol_index&) = delete;

    // The function that holds a link-time address, or null. `nearest` tells
    // whether it is also the function that starts closest below it, so that
    // no other function can hold a lower address closer to it.
    const function* find(std::uint64_t address, bool* nearest = nullptr) const noexcept;
    // Its display name: demangled when mangled, without a symbol version.
    std::string_view name_of(const function& f) const;

    const std::vector<function>& functions() const noexcept { return functions_; }

private:
    // Demangled names, in blocks made on first use.
    static constexpr std::size_t block_size = 256;
    struct name_block {
        published<const std::string> names[block_size];
    };

    symbol_index() = default;
    // The steps of build().
    void collect(const elf_file& file, std::size_t count, std::uint64_t bias);
    void keep_best_aliases();
    void index_pages();
    std::string_view raw_name(const function& f) const noexcept;

    std::vector<function> functions_;
    // For each page of the address range, the first function starting in or
    // after it: a lookup searches one page's functions, not all of them.
    std::uint64_t page_base_ = 0;
    std::vector<std::uint32_t> page_first_;
    const std::uint8_t* symbols_ = nullptr;
    const char* names_ = nullptr;
    std::size_t names_size_ = 0;
    std::unique_ptr<published<name_block>[]> blocks_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
