#include "platform/posix/dwarf/inline_tree.hpp"

#include <algorithm>
#include <unordered_map>

#include "platform/posix/dwarf/entry_names.hpp"
#include "platform/posix/object/demangle.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

std::uint32_t inline_tree::add_call(std::uint32_t parent, std::uint32_t depth, std::uint32_t file, std::uint32_t line,
                                    std::uint64_t origin) {
    calls_.push_back(call{parent, depth, file, line, none, origin});
    return static_cast<std::uint32_t>(calls_.size() - 1);
}

void inline_tree::add_range(std::uint32_t c, std::uint64_t low, std::uint64_t high) {
    ranges_.push_back(range{low, high, c});
}

void inline_tree::finish(const open_unit& unit, unit_locator* others) {
    std::unordered_map<std::uint64_t, std::uint32_t> named;
    for (call& c : calls_) {
        if (c.origin == 0) continue;
        auto found = named.find(c.origin);
        if (found == named.end()) {
            found = named.emplace(c.origin, static_cast<std::uint32_t>(names_.size())).first;
            names_.push_back(function_name_at(unit, c.origin, others));
        }
        c.name = found->second;
    }
    std::sort(ranges_.begin(), ranges_.end(), [this](const range& a, const range& b) {
        const std::uint32_t da = calls_[a.call].depth;
        const std::uint32_t db = calls_[b.call].depth;
        return da != db ? da < db : a.low < b.low;
    });
    depth_starts_.clear();
    for (std::size_t i = 0; i < ranges_.size(); ++i)
        while (depth_starts_.size() < calls_[ranges_[i].call].depth) depth_starts_.push_back(i);
    depth_starts_.push_back(ranges_.size());
    ranges_.shrink_to_fit();
    calls_.shrink_to_fit();
    if (!names_.empty()) shown_ = std::make_unique<published<const std::string>[]>(names_.size());
}

// Most inlined functions of a unit are never shown: demangling all of them
// would cost a fifth of reading the unit.
const std::string* inline_tree::name_of(const call& c) const {
    if (c.name >= names_.size() || names_[c.name].empty()) return nullptr;
    published<const std::string>& slot = shown_[c.name];
    if (const std::string* shown = slot.get()) return shown;
    const std::string& raw = names_[c.name];
    std::string text;
    if (!demangle(raw.data(), raw.size(), text)) text = raw;
    return slot.offer(std::make_unique<const std::string>(std::move(text)));
}

void inline_tree::chain(std::uint64_t address, std::vector<const call*>& out) const {
    out.clear();
    std::uint32_t parent = none;
    for (std::size_t depth = 1; depth < depth_starts_.size(); ++depth) {
        const auto first = ranges_.begin() + static_cast<std::ptrdiff_t>(depth_starts_[depth - 1]);
        auto after = std::upper_bound(first, ranges_.begin() + static_cast<std::ptrdiff_t>(depth_starts_[depth]),
                                      address, [](std::uint64_t a, const range& r) { return a < r.low; });
        std::uint32_t found = none;
        // Calls of one depth do not overlap but where entries are damaged.
        for (int steps = 0; after != first && steps < 8 && found == none; ++steps) {
            --after;
            if (address < after->high && calls_[after->call].parent == parent) found = after->call;
        }
        if (found == none) return;
        out.push_back(&calls_[found]);
        parent = found;
    }
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
