#include <korvo/array.hpp>
#include <korvo/spellout.hpp>

#include <cstring>
#include <locale>

#include "symbol_resolver.hpp"

namespace korvo {
namespace calltrail {

namespace {

// Two digits at a time, from the end of the room backwards.
char* write_digits(std::uint64_t value, char* end) noexcept {
    static constexpr char pairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                    "8081828384858687888990919293949596979899";
    while (value >= 100) {
        end -= 2;
        std::memcpy(end, pairs + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        end -= 2;
        std::memcpy(end, pairs + 2 * value, 2);
    } else {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

// libstdc++ numbers the ids of the standard facets as it builds the classic
// locale, which every locale's construction does first, std::locale::global's
// included. While ctype<char>'s id is unnumbered no locale has been made, so
// the global one is the classic one; asking std::locale instead would build
// every standard facet, half a megabyte of the C++ library's pages touched in
// a program that never used a locale. The number is written once, under the
// library's once-flag.
bool global_locale_is_classic() {
#if defined(__GLIBCXX__)
    static_assert(sizeof(std::locale::id) == sizeof(std::size_t), "libstdc++'s facet id is one number");
    const auto* const number = reinterpret_cast<const std::size_t*>(&std::ctype<char>::id);
    if (__atomic_load_n(number, __ATOMIC_ACQUIRE) == 0) return true;
#endif
    return std::locale() == std::locale::classic();
}

} // namespace

// The classic locale never groups, and it is what nearly every program runs
// with: once a call has seen it, its numbers are written without copying the
// global locale for each. Any other locale is read anew for every number.
std::string_view symbol_resolver::decimal(std::size_t value, char (&room)[decimal_room]) const {
    if (global_locale_ == locale_kind::unknown)
        global_locale_ = global_locale_is_classic() ? locale_kind::classic : locale_kind::other;
    if (global_locale_ == locale_kind::other) {
        const array<char, 40> text = spellout<array<char, 40>>(value);
        const std::size_t length = std::strlen(text.data());
        std::memcpy(room, text.data(), length);
        return std::string_view(room, length);
    }
    char* const end = room + decimal_room;
    const char* const start = write_digits(value, end);
    return std::string_view(start, static_cast<std::size_t>(end - start));
}

} // namespace calltrail
} // namespace korvo
