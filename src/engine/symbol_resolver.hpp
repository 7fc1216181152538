#ifndef KORVO_CALLTRAIL_ENGINE_SYMBOL_RESOLVER_HPP
#define KORVO_CALLTRAIL_ENGINE_SYMBOL_RESOLVER_HPP

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.hpp"
#include "com_apartment_guard.hpp"
#include "com_ref.hpp"
#include "engine_text.hpp"

namespace korvo {
namespace calltrail {

// The Debug Engine attached to this process for exactly one exported call.
// A resolver that could not attach is not ready, and then every lookup gives
// its empty result without touching the engine.
class line_buffer;

class symbol_resolver {
public:
    symbol_resolver();
    ~symbol_resolver() = default;

    symbol_resolver(const symbol_resolver&) = delete;
    symbol_resolver& operator=(const symbol_resolver&) = delete;

    bool is_ready() const noexcept { return static_cast<bool>(symbols); }

    // The function name; the module name goes to *module only when the
    // engine named the address, and module may be null.
    std::string lookup_name(const void* address, std::string* module) const;
    // Path and line, or an empty path and 0.
    std::pair<std::string, std::size_t> lookup_source(const void* address) const;
    // The line alone, without asking for the path.
    std::size_t lookup_line(const void* address) const;
    // Appends the text of one frame; appends nothing when not ready.
    void render_frame(const void* address, std::string& out) const;
    // The same into a trace's lines, from a resolver that is ready.
    void render_frame(const void* address, line_buffer& line) const;
    // The decimal text of a number, grouped as the global locale says, in
    // `room`; a call that found the classic locale keeps to it.
    static constexpr std::size_t decimal_room = 40;
    std::string_view decimal(std::size_t value, char (&room)[decimal_room]) const;

private:
    enum class locale_kind { unknown, classic, other };

    static void open_symbols(com_ref<IDebugSymbols>& symbols, com_apartment_guard& apartment);
    // The engine's texts of an address, asked as the lookups ask them: into
    // the first-try buffer, then once more at the size the engine asks for.
    bool ask_name(ULONG64 offset, engine_text& answer) const;
    bool ask_source(ULONG64 offset, engine_text& answer, ULONG& line) const;

    // Declared in this order so that symbols is released before COM is left.
    com_apartment_guard apartment;
    com_ref<IDebugSymbols> symbols;
    mutable locale_kind global_locale_ = locale_kind::unknown;
};

} // namespace calltrail
} // namespace korvo

#endif
