// Uses every installed header the way a caller would, so that each thing they
// declare must compile at the oldest standard they promise and must link.
#include <korvo/bad_spellout.hpp>
#include <korvo/calltrail/calltrail.hpp>
#include <korvo/calltrail/export.hpp>
#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/print.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>
#include <korvo/calltrail/trace.hpp>
#include <korvo/calltrail/traced.hpp>
#include <korvo/exception.hpp>

#include <cstdio>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace ct = korvo::calltrail;

namespace {

std::size_t total = 0;

void add(const std::string& text) { total += text.size(); }

// Every way the conversion failure can be caught, as the error classes allow.
int catches_of(void (*raise)()) {
    int caught = 0;
    try {
        raise();
    } catch (
        const korvo::exception_detail::clone_impl<korvo::exception_detail::error_info_injector<korvo::bad_spellout>>&) {
        ++caught;
    }
    try {
        raise();
    } catch (const korvo::exception&) {
        ++caught;
    }
    try {
        raise();
    } catch (const korvo::exception_detail::clone_base& error) {
        const korvo::exception_detail::clone_base* copy = error.heap_copy();
        delete copy;
        ++caught;
    }
    return caught;
}

void raise_wrapped() {
    typedef korvo::exception_detail::error_info_injector<korvo::bad_spellout> injected;
    throw korvo::exception_detail::clone_impl<injected>(injected(korvo::bad_spellout(typeid(int), typeid(char))));
}

} // namespace

int main() {
    const void* addresses[8];
    const std::size_t count = ct::detail::this_thread_frames::collect(addresses, 8, 0);
    ct::detail::dump(static_cast<void*>(nullptr), addresses, count);
    ct::detail::dump("unused", addresses, count);
    ct::frame frames[8];
    for (std::size_t i = 0; i < count; ++i) frames[i] = ct::frame(addresses[i]);
    const ct::frame& first = frames[0];
    add(first.name());
    add(first.source_file());
    total += first.source_line() > 0 ? 1 : 0;
    add(ct::to_string(first));
    add(ct::detail::to_string(frames, count));

    const ct::trace here = ct::trace::current();
    std::ostringstream out;
    out << first << here;
    ct::print_current_stack(out);
    add(out.str());
    add(ct::to_string(here) + ct::current_trace());
    total += std::hash<ct::trace>()(here) == std::hash<ct::trace>()(here) ? 0 : 1000;
    try {
        throw ct::traced<std::runtime_error>("traced");
    } catch (const std::exception& error) {
        const ct::trace* where = ct::trace_of(error);
        total += where != nullptr ? where->size() : 1000;
    }
    std::printf("frames=%zu text=%zu catches=%d\n", count, total, catches_of(&raise_wrapped));
    return 0;
}
