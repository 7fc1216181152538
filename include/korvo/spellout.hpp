#ifndef KORVO_SPELLOUT_HPP
#define KORVO_SPELLOUT_HPP

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <locale>
#include <string>

#include <korvo/array.hpp>

namespace korvo {

// Throws korvo::bad_spellout for a std::size_t that did not fit a
// korvo::array<char, 40>. Kept out of line so that a conversion carries none
// of the building and throwing on its normal path.
[[noreturn]] void raise_conversion_failure();

// Writes the decimal digits of a value right to left, ending at `end`,
// grouped as the global locale says. Nothing is bounds-checked: the caller
// provides room for 20 digits and 19 separators.
class unsigned_digit_writer {
public:
    unsigned_digit_writer(std::uint64_t value, char* end) noexcept : value_(value), cursor_(end) {}

    // Returns the first character of the text. Throws std::bad_cast when the
    // global locale has no std::numpunct<char>.
    char* write() {
        const std::locale global;
        // The classic locale never groups; deciding that first keeps the usual
        // case free of facet look-ups and of the grouping string.
        if (global == std::locale::classic()) return write_plain();

        const std::numpunct<char>& punct = std::use_facet<std::numpunct<char>>(global);
        const std::string grouping = punct.grouping();
        if (grouping.empty() || entry(grouping, 0) <= 0) return write_plain();

        const char separator = punct.thousands_sep();
        std::size_t group = 0;
        int group_size = entry(grouping, 0);
        int left = group_size;
        for (;;) {
            if (left == 0) {
                ++group;
                // Past the end of the string the last size repeats.
                if (group < grouping.size()) {
                    const int size = entry(grouping, group);
                    group_size = size > 0 ? size : CHAR_MAX;
                }
                left = group_size;
                *--cursor_ = separator;
            }
            --left;
            if (!digit_step()) return cursor_;
        }
    }

    // The digits alone, for a caller that knows the global locale is the
    // classic one.
    char* write_ungrouped() noexcept { return write_plain(); }

private:
    static int entry(const std::string& grouping, std::size_t index) noexcept {
        return static_cast<signed char>(grouping[index]);
    }

    char* write_plain() noexcept {
        while (digit_step()) {}
        return cursor_;
    }

    bool digit_step() noexcept {
        *--cursor_ = static_cast<char>(zero_code_ + static_cast<std::int32_t>(value_ % 10));
        value_ /= 10;
        return value_ != 0;
    }

    std::uint64_t value_;
    char* cursor_;
    char zero_ = '0';
    std::int32_t zero_code_ = zero_;
};

// The text of a value in the fixed form Target. Only korvo::array<char, 40>
// is provided: the decimal text, NUL-terminated and NUL-filled to the end.
template <class Target> Target spellout(std::size_t value);

template <> inline array<char, 40> spellout<array<char, 40>>(std::size_t value) {
    array<char, 40> result{};
    char buffer[40];
    char* const end = buffer + sizeof buffer;
    const char* const start = unsigned_digit_writer(value, end).write();
    const std::size_t length = static_cast<std::size_t>(end - start);
    if (length > 39) raise_conversion_failure();
    std::memcpy(result.data(), start, length);
    result[length] = '\0';
    return result;
}

} // namespace korvo

#endif
