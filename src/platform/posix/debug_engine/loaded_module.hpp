#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_LOADED_MODULE_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_LOADED_MODULE_HPP

// One object loaded into the process. Its files are opened, and its symbol
// and line indexes built, on the first lookup that needs them; afterwards
// lookups read immutable data and take no lock. A file is read only if it is
// the one the object was loaded from, and its descriptor is let go at the end
// of every lookup.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/debug_engine/split_dwarf_files.hpp"
#include "platform/posix/dwarf/source_lines.hpp"
#include "platform/posix/object/debug_file_search.hpp"
#include "platform/posix/object/elf_file.hpp"
#include "platform/posix/object/symbol_index.hpp"
#include "platform/posix/support/annotated_mutex.hpp"
#include "platform/posix/support/built_once.hpp"
#include "platform/posix/debug_engine/loaded_objects.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct function_answer {
    std::string_view name;
    std::uint64_t start = 0;
};

// How a program that reads objects offline asks more of a module than the
// engine does: other places for debug files, every inlined call, and its
// compressed debug sections inflated once from their start
// (section_data::read_in_order), as suits one that reads most of its units.
struct module_reading {
    std::shared_ptr<const debug_places> places;
    bool inline_calls = false;
    bool sections_in_order = false;
};

// Where a run-time address lies in an object: the link-time address that
// describes it, and the function that holds that, if any. Found once, it
// serves both the name and the line of the address.
struct code_place {
    std::uint64_t link_address = 0;
    const symbol_index::function* function = nullptr;
};

class loaded_module {
public:
    explicit loaded_module(module_description description, module_reading reading = module_reading());
    loaded_module(const loaded_module&) = delete;
    loaded_module& operator=(const loaded_module&) = delete;

    const module_description& description() const noexcept { return description_; }
    const std::string& name() const noexcept { return description_.name; }

    // A run-time address described as a return address is: by the byte
    // before it unless it is the first byte of a function.
    code_place place_of(std::uint64_t address);
    // The function at that place, and the file and line of the same byte.
    bool function_at(const code_place& place, function_answer& out);
    bool line_at(const code_place& place, source_location& out);
    bool function_at(std::uint64_t address, function_answer& out) { return function_at(place_of(address), out); }
    bool line_at(std::uint64_t address, source_location& out) { return line_at(place_of(address), out); }
    // The inlined functions at the same byte and the one that holds them
    // (unit_lines::inline_chain); only when module_reading asked for them.
    bool inline_chain_at(std::uint64_t address, std::vector<inline_frame>& out);
    // The run-time address of a function by its symbol's name, as a symbol
    // table holds it; false when there is none.
    bool address_of(std::string_view symbol_name, std::uint64_t& address);
    // Where the debug information of the code before a run-time return
    // address starts, for a reader that asks in that order; empty where that
    // is not known without reading it.
    std::optional<std::uint64_t> unit_offset_at(std::uint64_t address);
    // Once the first answer is out, for a reader of most of its units: large
    // sections read in order are read ahead of it, on a thread of their own,
    // and large string tables are kept whole.
    void read_ahead();

private:
    // Lets the module's descriptors go however a lookup ends.
    struct files_in_use {
        const loaded_module& module;
        ~files_in_use() { module.let_go_of_files(); }
    };

    // Source lines with the distance between the loaded object's addresses
    // and those of the file they were read from.
    struct line_source {
        // Before the lines, which read through it.
        std::unique_ptr<split_dwarf_files> split;
        std::unique_ptr<source_lines> lines;
        std::uint64_t bias = 0;
    };

    // The link-time address that describes a run-time one, and the function
    // that holds it, if any.
    std::uint64_t described_address(std::uint64_t address, const symbol_index::function** function);
    // Whether the bytes before a runtime address end in a call instruction.
    bool follows_call(std::uint64_t address);
    const symbol_index* symbols();
    line_source* lines();
    std::unique_ptr<symbol_index> build_symbols();
    std::unique_ptr<line_source> build_lines();
    // Under build_, from the builds above.
    const elf_file* object();
    const elf_file* debug_file();
    const elf_file* mini_debuginfo();
    std::uint64_t bias_of(const elf_file& file) const noexcept;
    std::unique_ptr<elf_file> open_object() const;
    void let_go_of_files() const noexcept;

    module_description description_;
    module_reading reading_;
    annotated_mutex build_;
    built_once<elf_file> object_;
    built_once<elf_file> debug_;
    built_once<elf_file> mini_;
    built_once<symbol_index> symbols_;
    built_once<line_source> lines_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
