#include "platform/posix/dwarf/inline_tree.hpp"

#include <algorithm>

#include "platform/posix/dwarf/entry_names.hpp"
#include "platform/posix/dwarf/inline_sites.hpp"
#include "platform/posix/object/demangle.hpp"
#include "platform/posix/support/sorted_spans.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

void inline_tree::subtree::finish() {
    std::sort(ranges.begin(), ranges.end(), [this](const range& a, const range& b) {
        const std::uint32_t da = calls[a.call].depth;
        const std::uint32_t db = calls[b.call].depth;
        return da != db ? da < db : a.low < b.low;
    });
    // Depths start at 2 below a root.
    depth_starts.clear();
    depth_starts.reserve(ranges.empty() ? 1 : calls[ranges.back().call].depth);
    for (std::size_t i = 0; i < ranges.size(); ++i)
        while (depth_starts.size() + 1 < calls[ranges[i].call].depth) depth_starts.push_back(i);
    depth_starts.push_back(ranges.size());
    ranges.shrink_to_fit();
    calls.shrink_to_fit();
}

void inline_tree::open(const open_unit& unit, const code_ranges& code, std::size_t most_ranges) {
    unit_ = unit;
    unit_.context.header = &unit_.header;
    code_ = &code;
    ranges_left_ = most_ranges;
    // Each root's entries are walked once; a root holds those of functions
    // defined in its code too, and crafted entries may nest them deep.
    bytes_left_ = 4 * (unit.header.end - unit.header.offset) + 4096;
}

std::uint32_t inline_tree::add_root(std::uint32_t file, std::uint32_t line, std::uint64_t origin, std::size_t children,
                                    std::size_t end) {
    roots_.emplace_back(none, 1, file, line, origin);
    spans_.push_back(span{children, end});
    return static_cast<std::uint32_t>(roots_.size() - 1);
}

void inline_tree::add_range(std::uint32_t root, std::uint64_t low, std::uint64_t high) {
    ranges_.push_back(range{low, high, root});
}

void inline_tree::set_end(std::uint32_t root, std::size_t end) noexcept {
    if (spans_[root].end == 0) spans_[root].end = end;
}

void inline_tree::finish() {
    std::sort(ranges_.begin(), ranges_.end(),
              [](const range& a, const range& b) { return a.low != b.low ? a.low < b.low : a.root < b.root; });
    ranges_.shrink_to_fit();
    roots_.shrink_to_fit();
    spans_.shrink_to_fit();
    if (roots_.empty()) return;
    below_ = std::make_unique<built_once<subtree>[]>(roots_.size());
    if (reads_later()) return;
    // The unit's bytes go once this returns: everything is read now.
    for (std::uint32_t r = 0; r < roots_.size(); ++r) {
        named(roots_[r]);
        for (const call& c : below_[r].get_locked([&] { return read_below(r); })->calls) named(c);
    }
}

std::unique_ptr<inline_tree::subtree> inline_tree::read_below(std::uint32_t root) {
    auto below = std::make_unique<subtree>();
    const span& s = spans_[root];
    if (s.children != 0) {
        open_unit unit = unit_;
        unit.context.header = &unit.header;
        read_calls_below(unit, s.children, s.end != 0 ? s.end : unit.header.end, *code_, *below, ranges_left_,
                         bytes_left_);
    }
    below->finish();
    return below;
}

const std::string* inline_tree::named(const call& c) {
    if (const std::string* shown = c.shown.load(std::memory_order_relaxed)) return shown;
    auto found = names_.find(c.origin);
    if (found == names_.end()) {
        std::string raw = c.origin != 0 ? function_name_at(unit_, c.origin, others_) : std::string();
        auto shown = shared_.shown.find(raw);
        if (shown == shared_.shown.end()) {
            std::string text;
            if (raw.empty() || !demangle(raw.data(), raw.size(), text)) text = raw;
            shown = shared_.shown.emplace(std::move(raw), std::move(text)).first;
        }
        found = names_.emplace(c.origin, &shown->second).first;
    }
    c.shown.store(found->second, std::memory_order_release);
    return found->second;
}

const std::string* inline_tree::name_of(const call& c) {
    const std::string* shown = c.shown.load(std::memory_order_acquire);
    if (shown == nullptr && reads_later()) {
        scoped_lock held(*lock_);
        shown = named(c);
    }
    return shown != nullptr && !shown->empty() ? shown : nullptr;
}

void inline_tree::chain(std::uint64_t address, std::vector<const call*>& out) {
    out.clear();
    const auto next = std::upper_bound(ranges_.begin(), ranges_.end(), address,
                                       [](std::uint64_t a, const range& r) { return a < r.low; });
    // Outermost calls do not overlap but where entries are damaged.
    constexpr std::size_t most_overlapping = 8;
    const range* root = last_holding(ranges_.data(), ranges_.data() + (next - ranges_.begin()), most_overlapping,
                                     [address](const range& r) { return address < r.high; });
    if (root == nullptr) return;
    out.push_back(&roots_[root->root]);
    const subtree* below = reads_later() ? below_[root->root].get(*lock_, [&] { return read_below(root->root); })
                                         : below_[root->root].peek();
    if (below == nullptr) return;
    std::uint32_t parent = none;
    for (std::size_t depth = 1; depth < below->depth_starts.size(); ++depth) {
        const auto begin = below->ranges.begin();
        const auto first = begin + static_cast<std::ptrdiff_t>(below->depth_starts[depth - 1]);
        auto after = std::upper_bound(first, begin + static_cast<std::ptrdiff_t>(below->depth_starts[depth]), address,
                                      [](std::uint64_t a, const subtree::range& r) { return a < r.low; });
        std::uint32_t found = none;
        for (std::size_t steps = 0; after != first && steps < most_overlapping && found == none; ++steps) {
            --after;
            if (address < after->high && below->calls[after->call].parent == parent) found = after->call;
        }
        if (found == none) return;
        out.push_back(&below->calls[found]);
        parent = found;
    }
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
