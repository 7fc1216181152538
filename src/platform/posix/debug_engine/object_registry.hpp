#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_OBJECT_REGISTRY_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_OBJECT_REGISTRY_HPP

// The process-wide cache behind every client: the table of loaded objects,
// taken again only when the loader has loaded or unloaded something since,
// and each object's indexes, which live as long as the object stays loaded.

#include <memory>

#include "platform/posix/support/annotated_mutex.hpp"
#include "platform/posix/debug_engine/module_table.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

class object_registry {
public:
    static object_registry& instance();

    // The objects loaded now.
    std::shared_ptr<const module_table> attach();

private:
    object_registry() = default;

    std::shared_ptr<const module_table> rebuild(const module_table* previous) CALLTRAIL_REQUIRES(mutex_);

    annotated_mutex mutex_;
    std::shared_ptr<const module_table> current_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
