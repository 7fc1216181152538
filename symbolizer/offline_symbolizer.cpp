#include "offline_symbolizer.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/posix/debug_engine/loaded_objects.hpp"

namespace korvo {
namespace calltrail {
namespace offline {

using posix_engine::loaded_module;

std::string module_name_of(const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    // As the engine names modules: "!" separates module and function.
    std::replace(name.begin(), name.end(), '!', '_');
    return name;
}

offline_symbolizer::offline_symbolizer(search_settings settings, bool inline_calls,
                                       std::function<void(const std::string&)> complain)
    : search_(std::move(settings)), inline_calls_(inline_calls), complain_(std::move(complain)) {}

offline_symbolizer::module_entry& offline_symbolizer::module_for(const std::string& file, const reported_id& id) {
    if (last_ != nullptr && file == last_file_ && id.given == last_id_.given && id.bytes == last_id_.bytes)
        return *last_;
    std::string key = file;
    key += '\0';
    key += id.given ? "=" + hex_id(id.bytes) : std::string("?");
    const auto found = modules_.find(key);
    if (found != modules_.end()) {
        last_ = &found->second;
        last_file_ = file;
        last_id_ = id;
        return found->second;
    }
    module_entry& entry = modules_[key];
    entry.name = module_name_of(file);
    last_ = &entry;
    last_file_ = file;
    last_id_ = id;
    try {
        std::unique_ptr<posix_engine::elf_file> object = search_.object(file, id, entry.problem);
        if (object != nullptr) {
            posix_engine::module_reading reading;
            reading.places = search_.places();
            reading.inline_calls = inline_calls_;
            reading.sections_in_order = true;
            entry.module =
                std::make_unique<loaded_module>(posix_engine::describe_file(*object, entry.name), std::move(reading));
        }
    } catch (...) {
        entry.module = nullptr;
        entry.problem = "out of memory or file descriptors";
    }
    if (entry.module == nullptr && complain_) complain_(file + ": " + entry.problem + "; its frames have no names");
    return entry;
}

bool offline_symbolizer::return_address(loaded_module& module, const raw_frame& frame, std::uint64_t& address) {
    if (frame.symbol.empty()) {
        address = frame.offset + 1;
        return address != 0;
    }
    std::uint64_t start = 0;
    if (!module.address_of(frame.symbol, start)) return false;
    address = start + static_cast<std::uint64_t>(frame.from_symbol);
    return address != 0;
}

void offline_symbolizer::answer(loaded_module& module, std::uint64_t address, frame_answer& out) {
    posix_engine::function_answer function;
    if (module.function_at(address, function)) out.function = function.name;
    posix_engine::source_location location;
    if (module.line_at(address, location) && location.path != nullptr) {
        out.file = *location.path;
        out.line = location.line;
    }
    if (!inline_calls_) return;
    std::vector<posix_engine::inline_frame>& chain = chain_;
    if (module.inline_chain_at(address, chain)) {
        out.inlined.reserve(chain.size());
        for (const posix_engine::inline_frame& level : chain) {
            code_level shown;
            if (level.function != nullptr) shown.function = *level.function;
            if (level.location.path != nullptr) {
                shown.file = *level.location.path;
                shown.line = level.location.line;
            }
            out.inlined.push_back(shown);
        }
        out.inlined.back().function = out.function;
    } else {
        out.inlined.push_back(code_level{out.function, out.file, out.line});
    }
}

offline_symbolizer::reading_place offline_symbolizer::place_of(const raw_frame& frame) {
    reading_place place;
    if (frame.file.empty()) return place;
    try {
        module_entry& entry = module_for(frame.file, reported_id());
        place.module = &entry;
        if (entry.module != nullptr && !entry.reading_ahead) {
            entry.reading_ahead = true;
            entry.module->read_ahead();
        }
        std::uint64_t address = 0;
        if (entry.module == nullptr || !return_address(*entry.module, frame, address)) return place;
        place.reader = entry.module.get();
        place.address = address;
        if (const std::optional<std::uint64_t> offset = entry.module->unit_offset_at(address)) place.offset = *offset;
    } catch (...) {
        // Only the order is lost; the frame's own lookup says why.
    }
    return place;
}

frame_answer offline_symbolizer::look_up(const raw_frame& frame, const reported_id& id, const reading_place* place) {
    frame_answer out;
    if (frame.file.empty()) return out;
    module_entry& entry = module_for(frame.file, id);
    out.module = entry.name;
    if (entry.module == nullptr) return out;
    try {
        std::uint64_t address = 0;
        if (place != nullptr && place->reader == entry.module.get())
            answer(*entry.module, place->address, out);
        else if (return_address(*entry.module, frame, address))
            answer(*entry.module, address, out);
        const std::string problem = search_.take_debug_problem();
        if (!problem.empty() && complain_) complain_(frame.file + ": " + problem);
    } catch (...) {
        // Memory or descriptors ran out: this frame goes without, and a
        // later one may not.
        out = frame_answer();
        out.module = entry.name;
        if (complain_) complain_(frame.file + ": out of memory or file descriptors for a frame");
    }
    return out;
}

} // namespace offline
} // namespace calltrail
} // namespace korvo
