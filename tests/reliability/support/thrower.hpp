#ifndef CALLTRAIL_TESTS_RELIABILITY_THROWER_HPP
#define CALLTRAIL_TESTS_RELIABILITY_THROWER_HPP

// Throws a traced<std::runtime_error> ("inner") from
// calltrail_test_throw_traced, nested in a std::logic_error ("outer").
void calltrail_test_throw_nested();

#endif
