#include <korvo/array.hpp>
#include <korvo/bad_spellout.hpp>
#include <korvo/spellout.hpp>
#include <korvo/throw_wrapped.hpp>

#include <cstddef>
#include <typeinfo>

// Link-time optimisation must not fold the throw back into the conversions.
#if defined(_MSC_VER)
#define KORVO_NOINLINE __declspec(noinline)
#else
#define KORVO_NOINLINE __attribute__((noinline))
#endif

namespace korvo {

KORVO_NOINLINE void raise_conversion_failure() {
    const bad_spellout error(typeid(std::size_t), typeid(array<char, 40>));
    throw_wrapped(error);
}

} // namespace korvo
