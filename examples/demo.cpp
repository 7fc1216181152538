// Prints the stack of a few nested calls.
#include <korvo/calltrail/calltrail.hpp>

#include <iostream>

namespace {

__attribute__((noinline)) korvo::calltrail::trace capture_here() {
    // Frame 0 is this function; nothing is looked up until the trace is printed.
    return korvo::calltrail::trace::current();
}

__attribute__((noinline)) korvo::calltrail::trace parse_config(int depth) {
    if (depth > 0) return parse_config(depth - 1);
    return capture_here();
}

__attribute__((noinline)) korvo::calltrail::trace load_settings() { return parse_config(1); }

} // namespace

int main() {
    const korvo::calltrail::trace here = load_settings();
    std::cout << here;
    return 0;
}
