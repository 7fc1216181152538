#ifndef KORVO_BAD_SPELLOUT_HPP
#define KORVO_BAD_SPELLOUT_HPP

#include <exception>
#include <typeinfo>

namespace korvo {

// A value that could not be written as the text type asked for. Defined
// wholly inline so that it is catchable across modules (see exception.hpp).
class bad_spellout : public std::bad_cast {
public:
    // MSVC's default std::bad_cast already carries "bad cast"; libstdc++ and
    // libc++ take no text at all.
    bad_spellout(const std::type_info& source, const std::type_info& target) noexcept
        : from_type(&source), to_type(&target) {}
    bad_spellout(const bad_spellout&) = default;
    ~bad_spellout() noexcept override {}

    const char* what() const noexcept override {
        return "bad spellout: source type value could not be interpreted as target";
    }

    const std::type_info* from_type;
    const std::type_info* to_type;
};

} // namespace korvo

#endif
