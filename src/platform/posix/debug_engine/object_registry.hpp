#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_OBJECT_REGISTRY_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_OBJECT_REGISTRY_HPP

// The process-wide cache behind every client: the table of loaded objects,
// taken again only when the loader has loaded or unloaded something since,
// and each object's indexes, which live as long as the object stays loaded.
//
// A child of fork() starts a registry of its own: the parent's may be held
// half-built by threads that the child does not have.

#include <memory>

#include "platform/posix/support/annotated_mutex.hpp"
#include "platform/posix/debug_engine/module_table.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

class object_registry {
public:
    // The objects loaded now.
    static std::shared_ptr<const module_table> attach();

    object_registry(const object_registry&) = delete;
    object_registry& operator=(const object_registry&) = delete;

private:
    object_registry() = default;

    // This process's registry, made on first use.
    static object_registry& instance();
    std::shared_ptr<const module_table> current(unsigned long long adds, unsigned long long subs);
    std::shared_ptr<const module_table> rebuild(const module_table* previous) CALLTRAIL_REQUIRES(mutex_);

    annotated_mutex mutex_;
    std::shared_ptr<const module_table> current_ CALLTRAIL_GUARDED_BY(mutex_);
    // In a child of fork(), the parent's registry (and the one it left behind
    // in turn): never read, only held.
    object_registry* left_behind_ = nullptr;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
