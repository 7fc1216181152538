#include "platform/posix/debug_engine/module_table.hpp"

#include <algorithm>
#include <atomic>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

std::atomic<std::uint64_t> tables_made{0};

} // namespace

module_table::module_table(std::vector<std::shared_ptr<loaded_module>> modules, unsigned long long adds,
                           unsigned long long subs)
    : modules_(std::move(modules)), adds_(adds), subs_(subs),
      id_(tables_made.fetch_add(1, std::memory_order_relaxed) + 1) {
    for (const std::shared_ptr<loaded_module>& module : modules_) {
        const module_description& d = module->description();
        for (const auto& range : d.code)
            spans_.push_back(span{d.bias + range.first, d.bias + range.second, module.get()});
    }
    std::sort(spans_.begin(), spans_.end(), [](const span& a, const span& b) { return a.start < b.start; });
}

loaded_module* module_table::find(std::uint64_t address) const noexcept {
    auto after = std::upper_bound(spans_.begin(), spans_.end(), address,
                                  [](std::uint64_t a, const span& s) { return a < s.start; });
    if (after == spans_.begin()) return nullptr;
    --after;
    return address < after->end ? after->module : nullptr;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
