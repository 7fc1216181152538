#ifndef KORVO_CALLTRAIL_POSIX_SUPPORT_SORTED_SPANS_HPP
#define KORVO_CALLTRAIL_POSIX_SUPPORT_SORTED_SPANS_HPP

#include <cstddef>

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Among spans sorted by their start, of which a few may overlap (symbols
// that share code, units whose ranges interleave), the one that holds an
// address: `after` is the first span starting past it, and the spans before
// it are tried nearest first, but no more than `look_back` of them, so that
// input crafted to overlap everything costs a lookup no more than real input
// does. Null when none of them holds it.
template <class Span, class Holds>
const Span* last_holding(const Span* first, const Span* after, std::size_t look_back, Holds holds) noexcept {
    for (std::size_t tried = 0; after != first && tried < look_back; ++tried) {
        --after;
        if (holds(*after)) return after;
    }
    return nullptr;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
