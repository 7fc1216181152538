#include <korvo/array.hpp>
#include <korvo/spellout.hpp>

#include <locale>

#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

// The classic locale never groups, and it is what nearly every program runs
// with: once a call has seen it, its numbers are written without copying the
// global locale for each. Any other locale is read anew for every number.
void symbol_resolver::append_decimal(std::string& out, std::size_t value) const {
    if (global_locale_ == locale_kind::unknown)
        global_locale_ = std::locale() == std::locale::classic() ? locale_kind::classic : locale_kind::other;
    if (global_locale_ == locale_kind::other) {
        out += spellout<array<char, 40>>(value).data();
        return;
    }
    char digits[40];
    char* const end = digits + sizeof digits;
    const char* const start = unsigned_digit_writer(value, end).write_ungrouped();
    out.append(start, static_cast<std::size_t>(end - start));
}

} // namespace calltrail
} // namespace korvo
