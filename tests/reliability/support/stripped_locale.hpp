#ifndef CALLTRAIL_TESTS_RELIABILITY_STRIPPED_LOCALE_HPP
#define CALLTRAIL_TESTS_RELIABILITY_STRIPPED_LOCALE_HPP

#include <locale>

#if defined(__GLIBCXX__)
#define CALLTRAIL_TEST_HAS_STRIPPED_LOCALE 1

namespace calltrail_test {
namespace stripped_locale_detail {

// The standard constructors copy every standard facet, so a locale without
// std::numpunct<char> exists only by clearing libstdc++'s facet table slot of
// a fresh, unshared locale. Explicit instantiation is the sanctioned way to
// name the private members involved.
template <auto Member, class Tag> struct private_member {
    friend constexpr auto member_of(Tag) noexcept { return Member; }
};
struct impl_tag {
    friend constexpr auto member_of(impl_tag) noexcept;
};
struct facets_tag {
    friend constexpr auto member_of(facets_tag) noexcept;
};
template struct private_member<&std::locale::_M_impl, impl_tag>;
template struct private_member<&std::locale::_Impl::_M_facets, facets_tag>;

struct kept_punct : std::numpunct<char> {
    kept_punct() : std::numpunct<char>(1) {} // never deleted by a locale
};

} // namespace stripped_locale_detail

inline std::locale locale_without_numpunct() {
    using namespace stripped_locale_detail;
    static kept_punct kept;
    std::locale locale(std::locale::classic(), &kept);
    auto* impl = locale.*member_of(impl_tag{});
    (impl->*member_of(facets_tag{}))[std::numpunct<char>::id._M_id()] = nullptr;
    return locale;
}

// Installs the stripped locale globally for its lifetime. Nothing that
// formats numbers may run meanwhile, test assertions included.
class stripped_global_locale {
public:
    stripped_global_locale() : previous_(std::locale::global(locale_without_numpunct())) {}
    ~stripped_global_locale() { std::locale::global(previous_); }
    stripped_global_locale(const stripped_global_locale&) = delete;
    stripped_global_locale& operator=(const stripped_global_locale&) = delete;

private:
    std::locale previous_;
};

} // namespace calltrail_test

#endif
#endif
