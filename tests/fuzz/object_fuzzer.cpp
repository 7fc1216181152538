// Object files of any content, read by the engine as it reads a loaded
// object held in memory: ELF headers, segments, symbol tables, debug links
// and DWARF of every form. Beyond not crashing, reading out of bounds or
// raising, a lookup must name only code that the input describes.
//
// Input: the bytes of an ELF image (the seeds are the libraries this build
// makes for its tests).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/posix/debug_engine/loaded_module.hpp"

using namespace korvo::calltrail::posix_engine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    module_description d = describe_image(data, size, "fuzzed");
    // An image whose segments are damaged still has sections to read.
    if (d.code.empty()) d.code.emplace_back(0, std::uint64_t{1} << 32);
    const std::pair<std::uint64_t, std::uint64_t> code = d.code.front();
    loaded_module module(std::move(d));
    const std::uint64_t span = code.second - code.first;
    // Where functions start and end, and inside them, the way return
    // addresses fall.
    const std::uint64_t picks[] = {0, 1, span / 3, span / 2 + 1, span - 1};
    for (const std::uint64_t pick : picks) {
        const std::uint64_t address = code.first + (span == 0 ? 0 : pick % span);
        function_answer function;
        if (module.function_at(address, function) && function.start > address) {
            std::fprintf(stderr, "a function named for an address before its start\n");
            std::abort();
        }
        source_location location;
        if (module.line_at(address, location) && (location.path == nullptr || location.path->empty())) {
            std::fprintf(stderr, "a line without a path\n");
            std::abort();
        }
    }
    return 0;
}
