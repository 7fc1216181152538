#ifndef KORVO_CALLTRAIL_ENGINE_COM_APARTMENT_GUARD_HPP
#define KORVO_CALLTRAIL_ENGINE_COM_APARTMENT_GUARD_HPP

namespace korvo {
namespace calltrail {

// The calling thread's COM initialisation for the length of one call. A thread
// already in another apartment is left alone: the engine may still be usable,
// but only our own successful initialisation is balanced.
class com_apartment_guard {
public:
    com_apartment_guard() noexcept;
    ~com_apartment_guard();

    com_apartment_guard(const com_apartment_guard&) = delete;
    com_apartment_guard& operator=(const com_apartment_guard&) = delete;

private:
    bool must_uninitialize;
};

} // namespace calltrail
} // namespace korvo

#endif
