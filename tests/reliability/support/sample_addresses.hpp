#ifndef CALLTRAIL_TESTS_RELIABILITY_SAMPLE_ADDRESSES_HPP
#define CALLTRAIL_TESTS_RELIABILITY_SAMPLE_ADDRESSES_HPP

#include <korvo/calltrail/frame.hpp>

#include <cstddef>
#include <string>
#include <vector>

namespace calltrail_test {

// The calling thread's stack, captured depth calls below the caller and
// through a shared library, as frames.
std::vector<korvo::calltrail::frame> captured_stack(std::size_t depth);

// Code addresses all over the process: this program, the C and C++ runtime
// libraries, the library under test, and a few that lie in no module.
std::vector<korvo::calltrail::frame> addresses_across_modules();

// The numbered line prefix of a trace position: " 7# ", "12# ".
std::string position_prefix(std::size_t position);

} // namespace calltrail_test

#endif
