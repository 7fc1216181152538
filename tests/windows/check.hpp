#ifndef CALLTRAIL_TESTS_WINDOWS_CHECK_HPP
#define CALLTRAIL_TESTS_WINDOWS_CHECK_HPP

// A tiny check harness for the cross-built programs that run under Wine, where
// GoogleTest is not at hand. A program ends with `return check::finish();`,
// which prints "N passed, N failed"; the runner insists on that closing line,
// so a program that dies early cannot pass.

#include <cstddef>
#include <cstdio>
#include <sstream>
#include <string>

namespace check {

struct tally {
    std::size_t passed = 0;
    std::size_t failed = 0;
};

inline tally& counts() {
    static tally t;
    return t;
}

inline bool record(bool ok, const char* what, const char* file, int line, const std::string& detail = {}) {
    if (ok) {
        ++counts().passed;
    } else {
        ++counts().failed;
        std::printf("FAIL %s:%d: %s%s%s\n", file, line, what, detail.empty() ? "" : "\n     ", detail.c_str());
        std::fflush(stdout);
    }
    return ok;
}

// Shows both sides of a failed comparison; texts are quoted so that blanks and
// line feeds are visible.
template <class T> std::string show(const T& value) {
    std::ostringstream os;
    os << value;
    return os.str();
}
inline std::string show(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}
inline std::string show(const char* value) { return value == nullptr ? "(null)" : show(std::string(value)); }

template <class A, class B>
bool record_equal(const A& actual, const B& expected, const char* what, const char* file, int line) {
    if (actual == expected) return record(true, what, file, line);
    return record(false, what, file, line, "actual:   " + show(actual) + "\n     expected: " + show(expected));
}

inline void section(const char* name) {
    std::printf("-- %s\n", name);
    std::fflush(stdout);
}

inline int finish() {
    const std::string line =
        std::to_string(counts().passed) + " passed, " + std::to_string(counts().failed) + " failed\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    return counts().failed == 0 && counts().passed > 0 ? 0 : 1;
}

} // namespace check

#define CHECK(condition) ::check::record(static_cast<bool>(condition), #condition, __FILE__, __LINE__)
#define CHECK_EQ(actual, expected)                                                                                     \
    ::check::record_equal((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)

#endif
