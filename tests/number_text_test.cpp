#include <korvo/array.hpp>
#include <korvo/bad_spellout.hpp>
#include <korvo/hex_address_text.hpp>
#include <korvo/spellout.hpp>

#include "support/counting_allocation.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <locale>
#include <new>
#include <string>
#include <type_traits>
#include <typeinfo>

namespace {

using text40 = korvo::array<char, 40>;

constexpr std::size_t largest = std::numeric_limits<std::size_t>::max();

// Grouping and separator as a test sets them; counts how often the
// conversion asks, since it should ask once per conversion at most.
class test_punct : public std::numpunct<char> {
public:
    test_punct(std::string grouping, char separator) : grouping_(std::move(grouping)), separator_(separator) {}

    mutable int grouping_calls = 0;
    mutable int separator_calls = 0;

protected:
    std::string do_grouping() const override {
        ++grouping_calls;
        return grouping_;
    }
    char do_thousands_sep() const override {
        ++separator_calls;
        return separator_;
    }

private:
    std::string grouping_;
    char separator_;
};

// Every test leaves the classic locale behind it, whatever it installed.
class number_text : public ::testing::Test {
protected:
    void TearDown() override { std::locale::global(std::locale::classic()); }

    // The returned facet lives as long as the global locale holds it.
    static const test_punct& use_grouping(const std::string& grouping, char separator = ',') {
        auto* punct = new test_punct(grouping, separator);
        std::locale::global(std::locale(std::locale::classic(), punct));
        return *punct;
    }
};

// Builds what make() returns straight into storage full of 'x', so that any
// element the code under test leaves unwritten shows.
template <class Array, class Make> Array over_garbage(Make make) {
    alignas(Array) unsigned char storage[sizeof(Array)];
    std::memset(storage, 'x', sizeof storage);
    return *new (storage) Array(make());
}

// The visible text, after checking the shape of the whole array: a
// terminator within the 40 elements and nothing but NULs after it.
std::string spelled(std::size_t value) {
    const text40 result = over_garbage<text40>([&] { return korvo::spellout<text40>(value); });
    std::size_t length = 0;
    while (length < result.size() && result[length] != '\0') ++length;
    EXPECT_LT(length, result.size()) << "no terminator";
    for (std::size_t i = length; i < result.size(); ++i) EXPECT_EQ(result[i], '\0') << "element " << i;
    return std::string(result.data(), length);
}

TEST_F(number_text, examples_under_their_locales) {
    struct example {
        std::size_t value;
        bool classic;
        std::string grouping;
        char separator;
        const char* text;
    };
    const example examples[] = {
        {0, true, "", ',', "0"},
        {1234567, true, "", ',', "1234567"},
        {1234567, false, "\3", ',', "1,234,567"},
        {999, false, "\3", ',', "999"},
        {1234567, false, std::string("\3\0", 2), ',', "1234,567"},
        {1234567, false, "\1\2", '.', "12.34.56.7"},
        {1234567, false, "", ',', "1234567"},
        {largest, true, "", ',', "18446744073709551615"},
        {largest, false, "\1", ',', "1,8,4,4,6,7,4,4,0,7,3,7,0,9,5,5,1,6,1,5"},
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << e.value << " grouping of " << e.grouping.size() << " entries");
        if (e.classic) {
            std::locale::global(std::locale::classic());
        } else {
            use_grouping(e.grouping, e.separator);
        }
        EXPECT_EQ(spelled(e.value), e.text);
    }
}

TEST_F(number_text, longest_text_fills_all_but_the_terminator) {
    use_grouping("\1");
    const text40 result = korvo::spellout<text40>(largest);
    EXPECT_EQ(std::string(result.data()).size(), 39u);
    EXPECT_EQ(result[38], '5');
    EXPECT_EQ(result[39], '\0');
}

TEST_F(number_text, zero_never_gets_a_separator) {
    for (const std::string& grouping : {std::string("\1"), std::string("\3"), std::string("\2\1")}) {
        use_grouping(grouping, '\'');
        EXPECT_EQ(spelled(0), "0");
    }
}

TEST_F(number_text, separator_only_once_the_first_group_overflows) {
    use_grouping("\3");
    EXPECT_EQ(spelled(999), "999");
    EXPECT_EQ(spelled(1000), "1,000");
    EXPECT_EQ(spelled(999999), "999,999");
    EXPECT_EQ(spelled(1000000), "1,000,000");
    use_grouping("\x13"); // 19: the largest value has one digit more
    EXPECT_EQ(spelled(largest), "1,8446744073709551615");
    use_grouping("\x14");
    EXPECT_EQ(spelled(largest), "18446744073709551615");
}

TEST_F(number_text, first_entry_zero_or_negative_means_no_grouping_at_all) {
    for (const std::string& grouping :
         {std::string("\0\1", 2), std::string("\xFF\1"), std::string("\x80\3"), std::string(1, '\0')}) {
        SCOPED_TRACE(static_cast<int>(static_cast<signed char>(grouping[0])));
        const test_punct& punct = use_grouping(grouping);
        const int asked = punct.separator_calls;
        EXPECT_EQ(spelled(1234567), "1234567");
        EXPECT_EQ(spelled(largest), "18446744073709551615");
        EXPECT_EQ(punct.separator_calls - asked, 0) << "no separator, so none asked for";
    }
}

TEST_F(number_text, later_entry_zero_or_negative_stops_further_separators) {
    use_grouping(std::string("\3\0\1", 3));
    EXPECT_EQ(spelled(1234567), "1234,567");
    use_grouping("\3\xFF\1");
    EXPECT_EQ(spelled(1234567), "1234,567");
    use_grouping(std::string("\1\2\0", 3));
    EXPECT_EQ(spelled(largest), "18446744073709551,61,5");
    EXPECT_EQ(spelled(1234567), "1234,56,7");
    use_grouping("\1\x80"); // entries are signed 8-bit: 0x80 is -128
    EXPECT_EQ(spelled(1234567), "123456,7");
}

TEST_F(number_text, last_entry_repeats) {
    use_grouping("\2");
    EXPECT_EQ(spelled(1234567), "1,23,45,67");
    use_grouping("\3\2");
    EXPECT_EQ(spelled(1234567890), "1,23,45,67,890");
    use_grouping("\1\1\4");
    EXPECT_EQ(spelled(largest), "18,4467,4407,3709,5516,1,5");
}

TEST_F(number_text, separator_is_the_locales_own) {
    use_grouping("\3", ' ');
    EXPECT_EQ(spelled(1234567), "1 234 567");
    use_grouping("\3", '.');
    EXPECT_EQ(spelled(1234567), "1.234.567");
}

TEST_F(number_text, asks_the_facet_once_per_conversion) {
    const test_punct& punct = use_grouping("\3");
    // libstdc++ reads the facet once itself while building the locale.
    const int groupings = punct.grouping_calls;
    const int separators = punct.separator_calls;
    spelled(1234567);
    EXPECT_EQ(punct.grouping_calls - groupings, 1);
    EXPECT_EQ(punct.separator_calls - separators, 1);
    spelled(12);
    EXPECT_EQ(punct.grouping_calls - groupings, 2);
    EXPECT_EQ(punct.separator_calls - separators, 2);
}

TEST_F(number_text, follows_the_global_locale_from_one_conversion_to_the_next) {
    EXPECT_EQ(spelled(4096), "4096");
    use_grouping("\3");
    EXPECT_EQ(spelled(4096), "4,096");
    std::locale::global(std::locale::classic());
    EXPECT_EQ(spelled(4096), "4096");
}

TEST_F(number_text, classic_locale_allocates_nothing) {
    std::size_t digits = 0;
    const std::size_t before = calltrail_test::allocations();
    for (std::size_t value = 1; value < largest / 7; value = value * 7 + 3) {
        const text40 result = korvo::spellout<text40>(value);
        for (char c : result) digits += c != '\0';
    }
    const std::size_t after = calltrail_test::allocations();
    EXPECT_EQ(after - before, 0u);
    EXPECT_GT(digits, 200u); // the conversions ran and produced text

    // The counter does see the other path: a grouping string too long for the
    // string's inline buffer is allocated once per conversion.
    use_grouping(std::string(32, '\3'));
    const std::size_t grouped_before = calltrail_test::allocations();
    korvo::spellout<text40>(1234567);
    EXPECT_GE(calltrail_test::allocations() - grouped_before, 1u);
}

#if defined(__GLIBCXX__)
// The standard locale constructors always copy every standard facet, so a
// locale without std::numpunct<char> cannot be made through the public
// interface. libstdc++ keeps a locale's facets in a table indexed by facet
// id; clearing the numpunct slot of a fresh, unshared locale gives exactly
// that locale, and has_facet confirms it. The explicit instantiations below
// are the standard's sanctioned way to name private members.
template <auto Member, class Tag> struct private_member {
    friend constexpr auto member_of(Tag) noexcept { return Member; }
};
struct locale_impl_tag {
    friend constexpr auto member_of(locale_impl_tag) noexcept;
};
struct impl_facets_tag {
    friend constexpr auto member_of(impl_facets_tag) noexcept;
};
template struct private_member<&std::locale::_M_impl, locale_impl_tag>;
template struct private_member<&std::locale::_Impl::_M_facets, impl_facets_tag>;

std::locale locale_without_numpunct() {
    // Owned here (refs 1), so the locale never deletes it, slot cleared or not.
    struct kept_punct : std::numpunct<char> {
        kept_punct() : std::numpunct<char>(1) {}
    };
    static kept_punct kept;
    std::locale locale(std::locale::classic(), &kept);
    auto* impl = locale.*member_of(locale_impl_tag{});
    (impl->*member_of(impl_facets_tag{}))[std::numpunct<char>::id._M_id()] = nullptr;
    return locale;
}

TEST_F(number_text, global_locale_without_numpunct_throws_bad_cast) {
    const std::locale lacking = locale_without_numpunct();
    ASSERT_FALSE(std::has_facet<std::numpunct<char>>(lacking));
    ASSERT_TRUE(lacking != std::locale::classic());

    // Anything else that formats numbers would throw under this locale too,
    // so nothing but the conversion runs while it is global.
    bool threw_bad_cast = false;
    bool threw_something_else = false;
    std::locale::global(lacking);
    try {
        korvo::spellout<text40>(1234567);
    } catch (const korvo::bad_spellout&) {
        threw_something_else = true;
    } catch (const std::bad_cast&) {
        threw_bad_cast = true;
    } catch (...) {
        threw_something_else = true;
    }
    std::locale::global(std::locale::classic());
    EXPECT_TRUE(threw_bad_cast);
    EXPECT_FALSE(threw_something_else);
}
#else
TEST_F(number_text, global_locale_without_numpunct_throws_bad_cast) {
    GTEST_SKIP() << "only libstdc++'s locale can be stripped of a standard facet here";
}
#endif

TEST(address_text, all_sixteen_digits_upper_case_with_leading_zeros) {
    const auto text = [](std::uint64_t address) {
        const auto result = over_garbage<korvo::array<char, 19>>([&] { return korvo::hex_address_text(address); });
        EXPECT_EQ(result[18], '\0');
        return std::string(result.data());
    };
    EXPECT_EQ(text(0), "0x0000000000000000");
    EXPECT_EQ(text(~std::uint64_t(0)), "0xFFFFFFFFFFFFFFFF");
    EXPECT_EQ(text(0x1234), "0x0000000000001234");
    EXPECT_EQ(text(0xABCDEF0123456789), "0xABCDEF0123456789");
    EXPECT_EQ(text(0x8000000000000001), "0x8000000000000001");
    static_assert(noexcept(korvo::hex_address_text(0)), "the address text cannot fail");
}

TEST(array, held_inline_and_copied_by_value) {
    static_assert(sizeof(korvo::array<char, 40>) == 40, "");
    static_assert(std::is_trivially_copyable<korvo::array<int, 3>>::value, "");
    korvo::array<int, 3> a{{1, 2, 3}};
    korvo::array<int, 3> b = a;
    b[1] = 20;
    EXPECT_EQ(a[1], 2);
    EXPECT_EQ(b[1], 20);
    EXPECT_EQ(a.data(), &a[0]);
    EXPECT_EQ(a.end() - a.begin(), 3);
    int sum = 0;
    for (int v : b) sum += v;
    EXPECT_EQ(sum, 24);
    const korvo::array<int, 3>& c = b;
    EXPECT_EQ(c[2], 3);
    EXPECT_EQ(c.data() + 2, &c[2]);
}

#ifdef NDEBUG
TEST(array, debug_builds_refuse_an_index_past_the_end) {
    GTEST_SKIP() << "the index is checked only in builds without NDEBUG";
}
#else
int read_at(const korvo::array<char, 40>& a, std::size_t i) { return a[i]; }
int write_at(korvo::array<char, 40>& a, std::size_t i) { return a[i] = 'x'; }

TEST(array, debug_builds_refuse_an_index_past_the_end) {
    korvo::array<char, 40> a{};
    EXPECT_EQ(read_at(a, 39), 0);
    const char* expected = "korvo/array:118: .*Assertion `\\(i < N\\)&&\\(\"out of range\"\\)' failed";
    EXPECT_DEATH(read_at(a, 40), expected);
    EXPECT_DEATH(write_at(a, 1000), expected);
}
#endif

} // namespace
