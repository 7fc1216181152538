// An assertion that logs the stack before it stops the program.
#include <korvo/calltrail/calltrail.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#define CHECKED(condition)                                                                                             \
    do {                                                                                                               \
        if (!(condition)) failed_check(#condition, __FILE__, __LINE__);                                                \
    } while (false)

[[noreturn]] __attribute__((noinline)) void failed_check(const char* condition, const char* file, int line) {
    std::cerr << "check failed: " << condition << " (" << file << ":" << line << ")\n";
    // Skip this function: the trace starts where the check failed.
    korvo::calltrail::print_current_stack(std::cerr, 1);
    std::exit(3);
}

__attribute__((noinline)) int checked_ratio(int total, int parts) {
    CHECKED(parts != 0);
    return total / parts;
}

int main(int argc, char**) {
    // argc keeps the divisor out of the compiler's reach.
    std::printf("%d\n", checked_ratio(10, argc - 1));
    return 0;
}
