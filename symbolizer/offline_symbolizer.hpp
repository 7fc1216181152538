#ifndef KORVO_CALLTRAIL_SYMBOLIZER_OFFLINE_SYMBOLIZER_HPP
#define KORVO_CALLTRAIL_SYMBOLIZER_OFFLINE_SYMBOLIZER_HPP

// Names, files and lines of raw frames, read from the files they name by
// the engine's own readers, so that each frame gets what the engine gives
// for it in the process that captured it.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "object_search.hpp"
#include "platform/posix/debug_engine/loaded_module.hpp"
#include "report_input.hpp"

namespace korvo {
namespace calltrail {
namespace offline {

// One level of the code at a frame's address. Texts are the readers' own,
// which live as long as the symbolizer: an answer is not copied out of them.
struct code_level {
    std::string_view function;
    std::string_view file;
    std::uint32_t line = 0;
};

struct frame_answer {
    // Empty where not known.
    std::string_view function;
    // The module's file name, as the engine shows it; empty without one.
    std::string_view module;
    std::string_view file;
    std::uint32_t line = 0;
    // With inline calls asked for: each inlined function at the address,
    // innermost first; the last level is the frame's own function.
    std::vector<code_level> inlined;
};

class offline_symbolizer {
public:
    // `complain` is told once, in a line, why a module's frames have no names.
    offline_symbolizer(search_settings settings, bool inline_calls, std::function<void(const std::string&)> complain);

    // Where a frame's debug information lies: its module (null without one)
    // and its unit's offset (the largest where not known). Frames asked for
    // in this order read each module's sections from their start on, once,
    // and from the first such question on, a thread reads ahead of them.
    struct reading_place {
        const void* module = nullptr;
        std::uint64_t offset = ~std::uint64_t{0};
        // The module read and the address asked for; null where not found.
        const posix_engine::loaded_module* reader = nullptr;
        std::uint64_t address = 0;
    };
    // A frame of a report whose module table gave `id` for its file (none
    // given: any file of that name is taken).
    // With `place` from place_of(), its address is taken rather than found
    // again (a symbol's name is looked for by a walk over all of them).
    frame_answer look_up(const raw_frame& frame, const reported_id& id = reported_id(),
                         const reading_place* place = nullptr);

    reading_place place_of(const raw_frame& frame);

private:
    struct module_entry {
        std::unique_ptr<posix_engine::loaded_module> module;
        std::string problem;
        // As module_name_of() names it.
        std::string name;
        bool reading_ahead = false;
    };

    module_entry& module_for(const std::string& file, const reported_id& id);
    // The return address whose frame is asked for: the byte after the one
    // to look up, so that the engine's reading of return addresses applies.
    bool return_address(posix_engine::loaded_module& module, const raw_frame& frame, std::uint64_t& address);
    void answer(posix_engine::loaded_module& module, std::uint64_t address, frame_answer& out);

    // Before the modules, which refer to its places.
    object_search search_;
    bool inline_calls_;
    std::function<void(const std::string&)> complain_;
    // By file and reported build-id.
    std::map<std::string, module_entry> modules_;
    // The entry last asked for, by its file and id: frames come in runs
    // of one module.
    module_entry* last_ = nullptr;
    std::string last_file_;
    reported_id last_id_;
    // Kept between frames for its memory.
    std::vector<posix_engine::inline_frame> chain_;
};

// The file name of a path, as the engine names modules.
std::string module_name_of(const std::string& path);

} // namespace offline
} // namespace calltrail
} // namespace korvo

#endif
