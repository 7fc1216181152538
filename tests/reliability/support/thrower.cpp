// Built with exceptions, for a program that is not: a traced exception,
// nested in another by std::throw_with_nested.
#include <korvo/calltrail/traced.hpp>

#include <exception>
#include <stdexcept>

#include "reliability/support/thrower.hpp"

__attribute__((noinline)) void calltrail_test_throw_traced() {
    throw korvo::calltrail::traced<std::runtime_error>("inner");
}

void calltrail_test_throw_nested() {
    try {
        calltrail_test_throw_traced();
    } catch (const std::exception&) {
        std::throw_with_nested(std::logic_error("outer"));
    }
}
