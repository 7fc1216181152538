// A trace in a process that has never made a C++ locale (GoogleTest's streams
// make one at start): its line follows the classic locale, and the library
// builds none, which would touch half a megabyte of the C++ library. libstdc++
// numbers its facets' ids as it builds its first locale. Exits 0 when that held.
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <cstdio>
#include <locale>
#include <string>

namespace {

bool locale_built() { return *reinterpret_cast<const volatile std::size_t*>(&std::ctype<char>::id) != 0; }

} // namespace

int main() {
    const bool fresh = !locale_built();
    const void* address = nullptr;
    const int line = __LINE__ + 1;
    const std::size_t count = korvo::calltrail::detail::this_thread_frames::collect(&address, 1, 1);
    const std::string text =
        korvo::calltrail::detail::to_string(reinterpret_cast<const korvo::calltrail::frame*>(&address), count);
    const bool right_line = text.find(":" + std::to_string(line) + "\n") != std::string::npos;
    if (right_line && !(fresh && locale_built())) return 0;
    std::fprintf(stderr, "line %d, %s locale:\n%s\n", line, locale_built() ? "a" : "no", text.c_str());
    return 1;
}
