// An exception that carries the stack of the place that threw it.
//
// The addresses are captured when the exception is made, which is cheap; they
// are turned into text only if somebody asks, usually in a handler far away.
#include <korvo/calltrail/calltrail.hpp>

#include <iostream>
#include <stdexcept>
#include <string>

__attribute__((noinline)) void parse_header(const std::string& text) {
    // Any exception type can be wrapped; handlers still catch it as that type.
    if (text.empty()) throw korvo::calltrail::traced<std::runtime_error>("empty header");
}

__attribute__((noinline)) void load_document(const std::string& text) {
    parse_header(text);
    std::cout << "loaded\n";
}

int main() {
    try {
        load_document("");
    } catch (const std::exception& error) {
        std::cout << "caught: " << error.what() << "\n";
        if (const korvo::calltrail::trace* where = korvo::calltrail::trace_of(error)) std::cout << *where;
    }
    return 0;
}
