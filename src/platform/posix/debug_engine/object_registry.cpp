#include "platform/posix/debug_engine/object_registry.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>

#include "platform/posix/debug_engine/loaded_objects.hpp"
#include "platform/posix/support/child_of_fork.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Our walks of the loader's list hold the loader's lock, and a child of fork()
// would find that lock held for ever had a thread of the parent been inside
// one. So fork() waits until no walk of ours is under way, and lets none begin
// until it is done. Two counters rather than a lock: a lock would keep, in the
// child, the walks that were waiting for it in the parent.
std::atomic<long> walks_under_way{0};
std::atomic<bool> forking{false};

class loader_walk {
public:
    loader_walk() noexcept {
        for (;;) {
            walks_under_way.fetch_add(1);
            if (!forking.load()) return;
            walks_under_way.fetch_sub(1);
            while (forking.load()) sched_yield();
        }
    }
    ~loader_walk() { walks_under_way.fetch_sub(1); }
    loader_walk(const loader_walk&) = delete;
    loader_walk& operator=(const loader_walk&) = delete;
};

std::atomic<object_registry*> this_process_registry{nullptr};
// The registry a child of fork() left behind, until the child makes its own,
// which keeps it referenced.
std::atomic<object_registry*> left_behind{nullptr};

void before_fork() {
    note_fork_in_parent();
    forking.store(true);
    // A fork from a signal handler that interrupted one of our walks would
    // wait for ever; after a long while the fork goes on without the guard.
    for (long waited = 0; walks_under_way.load() != 0 && waited < 1000000; ++waited) sched_yield();
}

void after_fork_in_parent() { forking.store(false); }

// The parent's registry is left behind unread: threads that the child does
// not have may hold its locks. It stays referenced, so that a leak checker in
// the child sees it held rather than lost.
void after_fork_in_child() {
    object_registry* parents = this_process_registry.load(std::memory_order_relaxed);
    if (parents != nullptr) left_behind.store(parents, std::memory_order_relaxed);
    this_process_registry.store(nullptr, std::memory_order_relaxed);
    walks_under_way.store(0);
    forking.store(false);
    note_fork_in_child();
}

// Set while the library loads, before any thread can be inside it.
const bool watching_forks = pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;

// What this thread attached to last. Another attach with the loader's counts
// unchanged takes the same table without touching the registry's lock; the
// reference is weak, so that an unloaded object's table does not outlive its
// last client for a thread that stopped resolving.
struct last_attach {
    const object_registry* registry = nullptr;
    std::weak_ptr<const module_table> table;
};

thread_local last_attach this_thread_last;

bool is_current(const module_table* table, unsigned long long adds, unsigned long long subs) {
    // A table taken since the counts were read is as good.
    return table != nullptr && table->adds() >= adds && table->subs() >= subs;
}

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
    object_registry* registry = this_process_registry.load(std::memory_order_acquire);
    if (registry != nullptr) return *registry;
    // Never destroyed: threads may still resolve while the process exits.
    std::unique_ptr<object_registry> made(new object_registry());
    if (this_process_registry.compare_exchange_strong(registry, made.get(), std::memory_order_acq_rel,
                                                      std::memory_order_acquire)) {
        made->left_behind_ = left_behind.exchange(nullptr, std::memory_order_relaxed);
        return *made.release();
    }
    return *registry;
}

std::shared_ptr<const module_table> object_registry::attach() {
    (void)watching_forks;
    unsigned long long adds = 0;
    unsigned long long subs = 0;
    {
        const loader_walk walk;
        loader_counters(adds, subs);
    }
    object_registry& registry = instance();
    last_attach& last = this_thread_last;
    if (last.registry == &registry) {
        std::shared_ptr<const module_table> table = last.table.lock();
        if (is_current(table.get(), adds, subs)) return table;
    }
    std::shared_ptr<const module_table> table = registry.current(adds, subs);
    last.registry = &registry;
    last.table = table;
    return table;
}

std::shared_ptr<const module_table> object_registry::current(unsigned long long adds, unsigned long long subs) {
    const scoped_lock lock(mutex_);
    if (!is_current(current_.get(), adds, subs)) current_ = rebuild(current_.get());
    return current_;
}

std::shared_ptr<const module_table> object_registry::rebuild(const module_table* previous) {
    loaded_objects now;
    {
        const loader_walk walk;
        now = list_loaded_objects();
    }
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
