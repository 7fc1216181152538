#ifndef CALLTRAIL_TESTS_RAISING_LIBRARY_HPP
#define CALLTRAIL_TESTS_RAISING_LIBRARY_HPP

// A shared library built like ours, hidden by default, whose one export
// raises the conversion failure from inside it.
#if defined(_WIN32)
#if defined(CALLTRAIL_TEST_RAISING_BUILDING)
#define CALLTRAIL_TEST_RAISING_API __declspec(dllexport)
#else
#define CALLTRAIL_TEST_RAISING_API __declspec(dllimport)
#endif
#else
#define CALLTRAIL_TEST_RAISING_API __attribute__((visibility("default")))
#endif

extern "C" CALLTRAIL_TEST_RAISING_API void calltrail_test_raise_in_library();

#endif
