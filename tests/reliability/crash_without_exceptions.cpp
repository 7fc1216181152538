// The crash handler in a file built without exceptions and without run-time
// type information: it still says what escaped from code built with them.
//   crash_without_exceptions nested|segv
#include <korvo/calltrail/crash_handler.hpp>

#include <cstring>

#include "reliability/support/thrower.hpp"

volatile int* volatile null_pointer = nullptr;

int main(int argc, char** argv) {
    korvo::calltrail::install_crash_handler();
    if (argc > 1 && std::strcmp(argv[1], "nested") == 0) calltrail_test_throw_nested();
    *null_pointer = 1;
    return 0;
}
