// Uses what every installed header declares, as a caller would, so that all of
// it must compile at the oldest standard promised and link.
#include <korvo/bad_spellout.hpp>
#include <korvo/calltrail/calltrail.hpp>
#include <korvo/exception.hpp>

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace ct = korvo::calltrail;

int main() {
    const void* addresses[8];
    const std::size_t count = ct::detail::this_thread_frames::collect(addresses, 8, 0);
    ct::detail::dump(static_cast<void*>(nullptr), addresses, count);
    ct::detail::dump("unused", addresses, count);
    ct::frame frames[8];
    for (std::size_t i = 0; i < count; ++i) frames[i] = ct::frame(addresses[i]);
    const ct::trace here = ct::trace::current();
    std::ostringstream out;
    out << frames[0] << here << std::hash<ct::trace>()(here) << frames[0].name() << frames[0].source_file()
        << frames[0].source_line();
    ct::print_current_stack(out) << ct::current_trace() << ct::detail::to_string(frames, count);
    std::size_t traced = 0;
    try {
        throw ct::traced<std::runtime_error>("traced");
    } catch (const std::exception& error) {
        traced = ct::trace_of(error)->size();
    }
    typedef korvo::exception_detail::error_info_injector<korvo::bad_spellout> injected;
    int caught = 0;
    try {
        throw korvo::exception_detail::clone_impl<injected>(injected(korvo::bad_spellout(typeid(int), typeid(char))));
    } catch (const korvo::exception_detail::clone_base& error) {
        delete error.heap_copy();
        caught = 1;
    } catch (const korvo::exception&) {}
    std::printf("frames=%zu text=%zu traced=%zu caught=%d\n", count, out.str().size(), traced, caught);
    return 0;
}
