#ifndef KORVO_ARRAY_HPP
#define KORVO_ARRAY_HPP

#include <cassert>
#include <cstddef>

namespace korvo {

// N elements of T held inline and copied by value. Debug builds check every
// index; release builds trust the caller, as the built-in array does.
template <class T, std::size_t N> class array {
    static_assert(N > 0, "korvo::array holds at least one element");

public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = T*;
    using const_iterator = const T*;

    constexpr T& operator[](std::size_t i) noexcept;
    constexpr const T& operator[](std::size_t i) const noexcept;

    constexpr T* data() noexcept { return elements; }
    constexpr const T* data() const noexcept { return elements; }
    static constexpr std::size_t size() noexcept { return N; }

    constexpr T* begin() noexcept { return elements; }
    constexpr const T* begin() const noexcept { return elements; }
    constexpr T* end() noexcept { return elements + N; }
    constexpr const T* end() const noexcept { return elements + N; }

    // Public so that the array stays an aggregate: korvo::array<char, 3> a{{'a', 'b'}}.
    T elements[N];
};

// The index checks come last in this file: the #line below, which gives a
// failed check the location callers have always been told, then applies to
// nothing but them.
template <class T, std::size_t N> constexpr T& array<T, N>::operator[](std::size_t i) noexcept {
    // clang-format off
#line 118 "korvo/array"
    assert((i < N)&&("out of range"));
    // clang-format on
    return elements[i];
}

template <class T, std::size_t N> constexpr const T& array<T, N>::operator[](std::size_t i) const noexcept {
    // clang-format off
#line 118 "korvo/array"
    assert((i < N)&&("out of range"));
    // clang-format on
    return elements[i];
}

} // namespace korvo

#endif
