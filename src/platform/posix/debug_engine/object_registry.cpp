#include "platform/posix/debug_engine/object_registry.hpp"

#include <atomic>

#include "platform/posix/debug_engine/loaded_objects.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// The module of the previous table that describes the same object, if any.
std::shared_ptr<loaded_module> same_in(const module_table* previous, const module_description& d) {
    if (previous == nullptr) return nullptr;
    for (const std::shared_ptr<loaded_module>& old : previous->modules()) {
        const module_description& o = old->description();
        // The executable's path is not asked again: it cannot change.
        const bool same = d.source == module_source::executable
                              ? o.source == module_source::executable && o.bias == d.bias &&
                                    o.program_headers == d.program_headers && o.code == d.code
                              : o.source == d.source && o.same_object(d);
        if (same) return old;
    }
    return nullptr;
}

} // namespace

object_registry& object_registry::instance() {
    // Never destroyed: threads may still resolve while the process exits.
    static object_registry* registry = new object_registry();
    return *registry;
}

std::shared_ptr<const module_table> object_registry::attach() {
    unsigned long long adds = 0;
    unsigned long long subs = 0;
    loader_counters(adds, subs);
    auto unchanged = [&](const std::shared_ptr<const module_table>& table) {
        return table != nullptr && table->adds() == adds && table->subs() == subs;
    };
    // Attaches from many threads meet here: the usual case takes no lock.
    std::shared_ptr<const module_table> table = std::atomic_load_explicit(&current_, std::memory_order_acquire);
    if (unchanged(table)) return table;
    scoped_lock lock(mutex_);
    table = std::atomic_load_explicit(&current_, std::memory_order_acquire);
    if (unchanged(table)) return table;
    table = rebuild(table.get());
    std::atomic_store_explicit(&current_, table, std::memory_order_release);
    return table;
}

std::shared_ptr<const module_table> object_registry::rebuild(const module_table* previous) {
    loaded_objects now = list_loaded_objects();
    std::vector<std::shared_ptr<loaded_module>> modules;
    modules.reserve(now.objects.size());
    for (module_description& d : now.objects) {
        std::shared_ptr<loaded_module> kept = same_in(previous, d);
        if (kept == nullptr) {
            name_object(d);
            kept = std::make_shared<loaded_module>(std::move(d));
        }
        modules.push_back(std::move(kept));
    }
    return std::make_shared<const module_table>(std::move(modules), now.adds, now.subs);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
