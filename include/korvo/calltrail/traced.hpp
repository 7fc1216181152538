#ifndef KORVO_CALLTRAIL_TRACED_HPP
#define KORVO_CALLTRAIL_TRACED_HPP

// traced<E>: an exception of type E that also carries the stack of the place
// where it was made.
//
//     throw korvo::calltrail::traced<std::runtime_error>("empty header");
//     ...
//     catch (const std::runtime_error& e) {      // caught as E, what() unchanged
//         if (const auto* where = korvo::calltrail::trace_of(e)) std::cerr << *where;
//     }
//
// The capture costs a walk of the stack and no symbol work; the trace is
// rendered only if a handler prints it. Header-only.

#include <type_traits>
#include <utility>

#include <korvo/calltrail/trace.hpp>

namespace korvo {
namespace calltrail {

// The part of a traced exception that holds its trace.
class trace_origin {
public:
    // Frame 0 is the function that made the exception.
    const trace& where() const noexcept { return where_; }

protected:
    explicit trace_origin(const trace& where) noexcept : where_(where) {}
    trace_origin(const trace_origin&) = default;
    trace_origin& operator=(const trace_origin&) = default;
    ~trace_origin() = default;

private:
    trace where_;
};

namespace traced_detail {

template <class T, class... Args> struct is_self : std::false_type {};
template <class T, class Arg> struct is_self<T, Arg> : std::is_same<T, typename std::decay<Arg>::type> {};

} // namespace traced_detail

// Not final, so that std::throw_with_nested can wrap it with the exception
// it nests (the wrapper derives from what it wraps; a final class is thrown
// alone). The trace still starts at the throw site: the one constructor that
// captures is this out-of-line one, which starts at its caller, and the copy
// and move constructors, which the wrapper, exception_ptr and catch by value
// use, copy the trace and never capture. A class of your own derived from
// traced<E> would show its constructor above the throw site unless inlined:
// throw traced<your_error> instead.
template <class E> class traced : public E, public trace_origin {
public:
    // Builds E from args and captures the caller's stack.
    template <class... Args, class = typename std::enable_if<!traced_detail::is_self<traced, Args...>::value>::type>
    KORVO_CALLTRAIL_NOINLINE explicit traced(Args&&... args)
        : E(std::forward<Args>(args)...), trace_origin(trace::current(1)) {}
};

// The trace that error carries when it was thrown as a traced<...>, else
// null. Works whatever type the handler caught it as.
template <class E> const trace* trace_of(const E& error) noexcept {
    static_assert(std::is_polymorphic<E>::value, "only exceptions with virtual functions can be asked for a trace");
    const trace_origin* origin = dynamic_cast<const trace_origin*>(&error);
    return origin != nullptr ? &origin->where() : nullptr;
}

} // namespace calltrail
} // namespace korvo

#endif
