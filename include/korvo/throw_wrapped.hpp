#ifndef KORVO_THROW_WRAPPED_HPP
#define KORVO_THROW_WRAPPED_HPP

#include <korvo/exception.hpp>

namespace korvo {

// Throws error wrapped so that a catcher can annotate it (korvo::exception)
// and copy or rethrow it without knowing its type (clone_base).
template <class T> [[noreturn]] void throw_wrapped(const T& error) {
    using injected = exception_detail::error_info_injector<T>;
    throw exception_detail::clone_impl<injected>(injected(error));
}

} // namespace korvo

#endif
