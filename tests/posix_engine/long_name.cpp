#include "known_library.hpp"

namespace known {
namespace a_namespace_with_a_deliberately_long_name {
namespace and_another_one_inside_it_to_make_names_longer {

template <typename... Types> struct parameter_pack_holder_with_a_long_name {};

template <typename T> struct wrapper_template_with_a_rather_long_name {};

template <typename Pack> __attribute__((noinline)) int long_named_function(probe* p) {
    return PROBE_CALL(p, (p->capture(p), 0)) + 1;
}

using long_pack = parameter_pack_holder_with_a_long_name<
    wrapper_template_with_a_rather_long_name<int>, wrapper_template_with_a_rather_long_name<long>,
    wrapper_template_with_a_rather_long_name<unsigned long>, wrapper_template_with_a_rather_long_name<char>>;

template int long_named_function<long_pack>(probe*);

} // namespace and_another_one_inside_it_to_make_names_longer
} // namespace a_namespace_with_a_deliberately_long_name

int call_long_name(probe* p) {
    namespace inner = a_namespace_with_a_deliberately_long_name::and_another_one_inside_it_to_make_names_longer;
    return PROBE_CALL(p, inner::long_named_function<inner::long_pack>(p)) + 1;
}

} // namespace known
