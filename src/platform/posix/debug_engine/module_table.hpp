#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_MODULE_TABLE_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_MODULE_TABLE_HPP

// The objects loaded at one moment, and where their code lies: what one
// attached client answers from.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/posix/debug_engine/loaded_module.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

class module_table {
public:
    module_table(std::vector<std::shared_ptr<loaded_module>> modules, unsigned long long adds, unsigned long long subs);

    // The object whose code holds an address, or null.
    loaded_module* find(std::uint64_t address) const noexcept;

    const std::vector<std::shared_ptr<loaded_module>>& modules() const noexcept { return modules_; }
    unsigned long long adds() const noexcept { return adds_; }
    unsigned long long subs() const noexcept { return subs_; }
    // No two tables of the process share one, even at one address.
    std::uint64_t id() const noexcept { return id_; }

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
    std::uint64_t id_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
