// Traces rendered in a process that has never made a C++ locale. Their line
// numbers follow the classic locale without the library building one, which
// would touch half a megabyte of the C++ library in every fresh process; once
// the program installs a grouping locale, the next trace follows it. Not a
// GoogleTest program: GoogleTest's streams build the locale at start. Exits 0
// when all of that held.
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <cstddef>
#include <cstdio>
#include <locale>
#include <string>

namespace {

bool locale_built() {
#if defined(__GLIBCXX__)
    // libstdc++ numbers the ids of the standard facets as it builds its first
    // locale.
    return *reinterpret_cast<const volatile std::size_t*>(&std::ctype<char>::id) != 0;
#else
    return false;
#endif
}

struct every_digit_grouped : std::numpunct<char> {
    char do_thousands_sep() const override { return '\''; }
    std::string do_grouping() const override { return "\1"; }
};

__attribute__((noinline)) std::string trace_here(int& line) {
    const void* addresses[1];
    line = __LINE__ + 1;
    const std::size_t count = korvo::calltrail::detail::this_thread_frames::collect(addresses, 1, 1);
    return korvo::calltrail::detail::to_string(reinterpret_cast<const korvo::calltrail::frame*>(addresses), count);
}

// ":line\n", its digits separated as every_digit_grouped says when `grouped`.
std::string line_suffix(int line, bool grouped) {
    std::string digits = std::to_string(line);
    std::string text = ":";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (grouped && i != 0) text += '\'';
        text += digits[i];
    }
    return text + "\n";
}

int failed(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s:\n%s\n", what, text.c_str());
    return 1;
}

} // namespace

int main() {
    // A runtime that builds a locale before main leaves nothing to check of that.
    const bool fresh = !locale_built();
    int line = 0;
    const std::string plain = trace_here(line);
    if (plain.find(line_suffix(line, false)) == std::string::npos)
        return failed("the first trace does not end its frame at its line", plain);
    if (fresh && locale_built()) return failed("rendering built a locale", plain);

    std::locale::global(std::locale(std::locale::classic(), new every_digit_grouped));
    const std::string grouped = trace_here(line);
    if (grouped.find(line_suffix(line, true)) == std::string::npos)
        return failed("a trace after a grouping locale was installed does not group its line", grouped);
    return 0;
}
