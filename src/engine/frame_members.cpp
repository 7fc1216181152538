#include <korvo/calltrail/frame.hpp>

#include "symbol_resolver.hpp"

// Each member pays for a resolver of its own: nothing outlives the call.
namespace korvo {
namespace calltrail {

std::string frame::name() const {
    const symbol_resolver resolver;
    return resolver.lookup_name(code_address(), nullptr);
}

std::string frame::source_file() const {
    const symbol_resolver resolver;
    return resolver.lookup_source(code_address()).first;
}

std::size_t frame::source_line() const {
    const symbol_resolver resolver;
    return resolver.lookup_line(code_address());
}

} // namespace calltrail
} // namespace korvo
