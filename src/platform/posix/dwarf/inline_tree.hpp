#ifndef KORVO_CALLTRAIL_POSIX_DWARF_INLINE_TREE_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_INLINE_TREE_HPP

// Every inlined call of a unit at every depth, for listing the whole chain
// of calls at an address as symbolizers do. Read only when asked for: the
// engine's traces show the outermost call alone (inline_sites).
//
// The walk of the unit keeps the outermost calls (the roots) only. What lies
// below a root, and the name of each function, is read the first time an
// address inside it is asked for: a few thousand addresses touch a small
// part of a unit's calls, and naming them all cost more than reading the
// unit's lines.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/dwarf/entry_names.hpp"
#include "platform/posix/dwarf/line_table.hpp"
#include "platform/posix/dwarf/unit_root.hpp"
#include "platform/posix/support/annotated_mutex.hpp"
#include "platform/posix/support/built_once.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// What the inline trees of one object's units share, used under the lock
// that serialises every read of its sections.
struct inline_reading {
    explicit inline_reading(annotated_mutex& lock_) noexcept : lock(lock_) {}
    annotated_mutex& lock;
    // Where references into other units lead.
    unit_locator others;
    // Names as shown, by the name the entries give: every unit describes the
    // functions it inlines once more, and demangling is most of naming one.
    std::unordered_map<std::string, std::string> shown;
};

class inline_tree {
public:
    static constexpr std::uint32_t none = 0xffffffffu;
    // Deeper calls than this are not kept: no compiler nests that far.
    static constexpr std::uint32_t most_depth = 64;

    // One inlined call: where it was made, and which function it entered.
    struct call {
        call(std::uint32_t parent_, std::uint32_t depth_, std::uint32_t file_, std::uint32_t line_,
             std::uint64_t origin_) noexcept
            : parent(parent_), depth(depth_), file(file_), line(line_), origin(origin_) {}
        // Copied only while the list is built, before anyone reads it.
        call(const call& other) noexcept
            : parent(other.parent), depth(other.depth), file(other.file), line(other.line), origin(other.origin),
              shown(other.shown.load(std::memory_order_relaxed)) {}
        call& operator=(const call&) = delete;

        // In the same list: roots have none, the first calls below a root
        // have none in that root's list.
        std::uint32_t parent;
        std::uint32_t depth;
        std::uint32_t file;
        std::uint32_t line;
        std::uint64_t origin;
        // Set once named: into the shared names, empty for none.
        mutable std::atomic<const std::string*> shown{nullptr};
    };

    // The calls below one root, all depths, sorted as chain() searches them.
    struct subtree {
        struct range {
            std::uint64_t low;
            std::uint64_t high;
            std::uint32_t call;
        };
        std::vector<call> calls;
        // By depth, then by address; depth_starts[d] is where depth d + 2
        // begins.
        std::vector<range> ranges;
        std::vector<std::size_t> depth_starts;

        void finish();
    };

    // With `later`, what lies below the roots and the names are read as
    // they are asked for, and the unit's bytes must stay readable for as
    // long as the tree lives. Otherwise everything is read before the tree is
    // used, for a unit whose bytes go away (a split unit's file is closed once
    // read), and references into other units lead nowhere.
    inline_tree(inline_reading& shared, bool later) noexcept
        : shared_(shared), lock_(later ? &shared.lock : nullptr), others_(later ? &shared.others : nullptr) {}
    inline_tree(const inline_tree&) = delete;
    inline_tree& operator=(const inline_tree&) = delete;

    bool reads_later() const noexcept { return lock_ != nullptr; }

    // The steps of the unit's walk: the unit, then each root as the walk
    // meets it with its code, then where its children end if the entry did
    // not say, and last finish(). `children` is where the root's first child
    // lies, 0 for none; `end` where the entries after them begin, 0 when
    // unknown.
    void open(const open_unit& unit, const code_ranges& code, std::size_t most_ranges);
    std::uint32_t add_root(std::uint32_t file, std::uint32_t line, std::uint64_t origin, std::size_t children,
                           std::size_t end);
    void add_range(std::uint32_t root, std::uint64_t low, std::uint64_t high);
    void set_end(std::uint32_t root, std::size_t end) noexcept;
    std::size_t ranges() const noexcept { return ranges_.size(); }
    void finish();

    // The calls whose code holds an address, outermost first. Reads what
    // lies below the root that holds it if that was not read yet.
    void chain(std::uint64_t address, std::vector<const call*>& out);
    // The name of the function a call entered, demangled; null when it has
    // none. Safe from many threads.
    const std::string* name_of(const call& c);

private:
    struct range {
        std::uint64_t low;
        std::uint64_t high;
        std::uint32_t root;
    };
    struct span {
        std::size_t children;
        std::size_t end;
    };

    std::unique_ptr<subtree> read_below(std::uint32_t root);
    // Under the lock, or while finish() reads everything.
    const std::string* named(const call& c);

    inline_reading& shared_;
    annotated_mutex* lock_;
    unit_locator* others_;
    // The unit as the walk opened it; context points at this header.
    open_unit unit_;
    const code_ranges* code_ = nullptr;
    std::vector<call> roots_;
    std::vector<span> spans_;
    // Sorted by address.
    std::vector<range> ranges_;
    std::unique_ptr<built_once<subtree>[]> below_;
    // How many more ranges the subtrees may hold, and bytes their walks may
    // pass: crafted entries cannot make the tree larger than the code they
    // describe could, nor its reading slower than a few walks of the unit.
    std::size_t ranges_left_ = 0;
    std::size_t bytes_left_ = 0;
    // By the offset of the entry named.
    std::unordered_map<std::uint64_t, const std::string*> names_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
