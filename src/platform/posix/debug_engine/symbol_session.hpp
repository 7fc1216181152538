#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_SYMBOL_SESSION_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_SYMBOL_SESSION_HPP

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "loaded_module.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// The objects loaded at one moment, and where their code lies.
class module_table {
public:
    module_table(std::vector<std::shared_ptr<loaded_module>> modules, unsigned long long adds, unsigned long long subs);

    // The object whose code holds an address, or null.
    loaded_module* find(std::uint64_t address) const noexcept;

    const std::vector<std::shared_ptr<loaded_module>>& modules() const noexcept { return modules_; }
    unsigned long long adds() const noexcept { return adds_; }
    unsigned long long subs() const noexcept { return subs_; }

private:
    struct span {
        std::uint64_t start;
        std::uint64_t end;
        loaded_module* module;
    };

    std::vector<std::shared_ptr<loaded_module>> modules_;
    std::vector<span> spans_;
    unsigned long long adds_;
    unsigned long long subs_;
};

// The process-wide state behind every client: the table of loaded objects,
// taken again only when the loader has loaded or unloaded something since,
// and the objects' indexes, which survive as long as the objects stay.
class symbol_session {
public:
    static symbol_session& instance();

    // The objects loaded now.
    std::shared_ptr<const module_table> attach();

private:
    symbol_session() = default;

    std::shared_ptr<const module_table> rebuild(const module_table* previous);

    std::mutex mutex_;
    std::shared_ptr<const module_table> current_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
