#include "sample_addresses.hpp"

#include <korvo/calltrail/this_thread_frames.hpp>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>
#include <exception>

#include "support/chain_library.hpp"

namespace {

struct capture_request {
    std::size_t depth;
    std::vector<korvo::calltrail::frame>* frames;
};

std::size_t descend(void* argument);

extern "C" __attribute__((noinline)) std::size_t calltrail_sample_descend(capture_request* request) {
    if (request->depth == 0) {
        const void* addresses[128];
        const std::size_t count = korvo::calltrail::detail::this_thread_frames::collect(addresses, 128, 0);
        for (std::size_t i = 0; i < count; ++i) request->frames->emplace_back(addresses[i]);
        return count;
    }
    --request->depth;
    const std::size_t count =
        request->depth % 4 == 0 ? ct_chain_through_library(&descend, request) : calltrail_sample_descend(request);
    __asm__ __volatile__("" ::: "memory");
    return count;
}

std::size_t descend(void* argument) { return calltrail_sample_descend(static_cast<capture_request*>(argument)); }

const void* inside(const void* function, std::uintptr_t offset) {
    return reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(function) + offset);
}

} // namespace

namespace calltrail_test {

std::vector<korvo::calltrail::frame> captured_stack(std::size_t depth) {
    std::vector<korvo::calltrail::frame> frames;
    capture_request request{depth, &frames};
    calltrail_sample_descend(&request);
    return frames;
}

std::vector<korvo::calltrail::frame> addresses_across_modules() {
    using korvo::calltrail::frame;
    return {
        frame(inside(reinterpret_cast<const void*>(&calltrail_sample_descend), 4)),
        frame(inside(reinterpret_cast<const void*>(&captured_stack), 1)),
        frame(inside(reinterpret_cast<const void*>(&::write), 2)),
        frame(inside(reinterpret_cast<const void*>(&::qsort), 8)),
        frame(inside(reinterpret_cast<const void*>(&::strlen), 1)),
        frame(inside(reinterpret_cast<const void*>(&std::terminate), 1)),
        frame(inside(reinterpret_cast<const void*>(&ct_chain_through_library), 3)),
        frame(inside(reinterpret_cast<const void*>(&korvo::calltrail::detail::this_thread_frames::collect), 5)),
        frame(nullptr),
        frame(reinterpret_cast<const void*>(std::uintptr_t{0x10})),
        frame(reinterpret_cast<const void*>(~std::uintptr_t{0})),
        frame(reinterpret_cast<const void*>(std::uintptr_t{0x0000800000000000})),
    };
}

std::string position_prefix(std::size_t position) {
    return (position < 10 ? " " : "") + std::to_string(position) + "# ";
}

} // namespace calltrail_test
