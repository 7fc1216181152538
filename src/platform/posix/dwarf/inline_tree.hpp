#ifndef KORVO_CALLTRAIL_POSIX_DWARF_INLINE_TREE_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_INLINE_TREE_HPP

// Every inlined call of a unit at every depth, for listing the whole chain
// of calls at an address as symbolizers do. Read only when asked for: the
// engine's traces show the outermost call alone (inline_sites).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/dwarf/unit_root.hpp"
#include "platform/posix/support/built_once.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

class unit_locator;

class inline_tree {
public:
    static constexpr std::uint32_t none = 0xffffffffu;
    // Deeper calls than this are not kept: no compiler nests that far.
    static constexpr std::uint32_t most_depth = 64;

    // One inlined call: where it was made, and which function it entered.
    struct call {
        std::uint32_t parent;
        std::uint32_t depth;
        std::uint32_t file;
        std::uint32_t line;
        std::uint32_t name;
        std::uint64_t origin;
    };

    // The calls whose code holds an address, outermost first.
    void chain(std::uint64_t address, std::vector<const call*>& out) const;
    // The name of the function a call entered, demangled the first time it is
    // asked for; null when it has none. Safe from many threads.
    const std::string* name_of(const call& c) const;

    // The steps of reading one: calls, as the walk meets them, and their code;
    // then their names, read once the walk is done.
    std::uint32_t add_call(std::uint32_t parent, std::uint32_t depth, std::uint32_t file, std::uint32_t line,
                           std::uint64_t origin);
    void add_range(std::uint32_t call, std::uint64_t low, std::uint64_t high);
    std::size_t ranges() const noexcept { return ranges_.size(); }
    void finish(const open_unit& unit, unit_locator* others);

private:
    struct range {
        std::uint64_t low;
        std::uint64_t high;
        std::uint32_t call;
    };

    std::vector<call> calls_;
    std::vector<range> ranges_;
    // Where each depth's ranges begin in ranges_, once sorted by depth and
    // then by address.
    std::vector<std::size_t> depth_starts_;
    // As the debug information holds them, and as shown.
    std::vector<std::string> names_;
    std::unique_ptr<published<const std::string>[]> shown_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
