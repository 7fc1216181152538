#include "loaded_module.hpp"

#include <elf.h>

#include "debug_file_search.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

bool has_section(const elf_file& file, const char* name, const char* compressed_name) {
    return file.has_section_named(name) || file.has_section_named(compressed_name);
}

bool has_symbol_table(const elf_file& file) {
    for (const elf_section& section : file.sections())
        if (section.type == SHT_SYMTAB && section.data != nullptr) return true;
    return false;
}

} // namespace

loaded_module::loaded_module(module_description description) : description_(std::move(description)) {}

const elf_file* loaded_module::object() {
    if (object_tried_) return object_.get();
    object_tried_ = true;
    std::unique_ptr<elf_file> file;
    switch (description_.source) {
    case module_source::vdso:
        file = elf_file::copy_of(description_.image, description_.image_size);
        break;
    // The running executable, even when its path has gone or changed.
    case module_source::executable:
        file = elf_file::open("/proc/self/exe");
        break;
    case module_source::file:
        file = elf_file::open(description_.path.c_str());
        break;
    }
    // A file replaced on disk since it was loaded describes other code.
    if (file != nullptr && !description_.id.empty() && file->id() != description_.id) file.reset();
    object_ = std::move(file);
    return object_.get();
}

const elf_file* loaded_module::debug_file() {
    if (debug_tried_) return debug_.get();
    debug_tried_ = true;
    const elf_file* main = object();
    if (main == nullptr || description_.source == module_source::vdso) return nullptr;
    debug_ = find_debug_file(*main, description_.path, description_.id.empty() ? main->id() : description_.id);
    return debug_.get();
}

const function_symbols* loaded_module::symbols() {
    if (symbols_tried_.load(std::memory_order_acquire)) return symbols_ready_.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> lock(build_);
    if (!symbols_tried_.load(std::memory_order_relaxed)) {
        const elf_file* main = object();
        if (main != nullptr) {
            if (has_symbol_table(*main)) {
                symbols_ = function_symbols::build(*main, false, 0);
            } else if (const elf_file* debug = debug_file()) {
                std::uint64_t debug_first = 0;
                const std::uint64_t bias =
                    debug->first_load_address(debug_first) ? description_.first_load - debug_first : 0;
                symbols_ = function_symbols::build(*debug, false, bias);
            }
            if (symbols_ == nullptr) symbols_ = function_symbols::build(*main, true, 0);
        }
        symbols_ready_.store(symbols_.get(), std::memory_order_release);
        symbols_tried_.store(true, std::memory_order_release);
    }
    return symbols_ready_.load(std::memory_order_acquire);
}

source_lines* loaded_module::lines() {
    if (lines_tried_.load(std::memory_order_acquire)) return lines_ready_.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> lock(build_);
    if (!lines_tried_.load(std::memory_order_relaxed)) {
        const elf_file* source = object();
        if (source != nullptr && !has_section(*source, ".debug_info", ".zdebug_info")) source = debug_file();
        if (source != nullptr) {
            std::uint64_t first = 0;
            lines_bias_ = source->first_load_address(first) ? description_.first_load - first : 0;
            code_ranges code;
            for (const auto& range : description_.code)
                code.ranges.emplace_back(range.first - lines_bias_, range.second - lines_bias_);
            lines_ = source_lines::open(*source, std::move(code));
        }
        lines_ready_.store(lines_.get(), std::memory_order_release);
        lines_tried_.store(true, std::memory_order_release);
    }
    return lines_ready_.load(std::memory_order_acquire);
}

namespace {

// Whether the instruction that ends at `end` can be a call: a direct call, or
// an indirect one through a register or memory, with or without a REX prefix.
bool ends_in_call(const std::uint8_t* end) noexcept {
    const auto at = [end](int back) { return end[-back]; };
    if (at(5) == 0xE8) return true;                                                                   // call rel32
    if (at(2) == 0xFF && (at(1) & 0xF8) == 0xD0) return true;                                         // call *%reg
    if (at(2) == 0xFF && (at(1) & 0xF8) == 0x10 && (at(1) & 7) != 4 && (at(1) & 7) != 5) return true; // *(%reg)
    if (at(3) == 0xFF && (at(2) & 0xF8) == 0x50 && (at(2) & 7) != 4) return true;                     // *disp8(%reg)
    if (at(6) == 0xFF && (at(5) == 0x15 || ((at(5) & 0xF8) == 0x90 && (at(5) & 7) != 4))) return true;
    if (at(3) == 0xFF && at(2) == 0x14) return true; // *(%reg,%reg)
    if (at(4) == 0xFF && at(3) == 0x54) return true; // *disp8(%reg,%reg)
    if (at(7) == 0xFF && at(6) == 0x94) return true; // *disp32(%reg,%reg)
    return false;
}

} // namespace

bool loaded_module::follows_call(std::uint64_t address) const noexcept {
    // Seven bytes before must lie in one executable segment to be read.
    constexpr std::uint64_t longest_call = 7;
    const std::uint64_t link_address = address - description_.bias;
    for (const auto& range : description_.code)
        if (link_address >= range.first + longest_call && link_address <= range.second)
            return ends_in_call(reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(address)));
    return false;
}

std::uint64_t loaded_module::described_address(std::uint64_t address, const function_symbols::function** function) {
    const std::uint64_t link_address = address - description_.bias;
    const function_symbols* index = symbols();
    *function = nullptr;
    if (index == nullptr) return link_address - 1;
    bool nearest = false;
    const function_symbols::function* f = index->find(link_address, &nearest);
    if (f != nullptr && f->start == link_address) {
        // A call that ends its function (to something that never returns)
        // leaves a return address on the first byte of the next one.
        const function_symbols::function* before = index->find(link_address - 1);
        if (before == nullptr || before->start + before->size != link_address || !follows_call(address)) {
            *function = f;
            return link_address;
        }
        *function = before;
        return link_address - 1;
    }
    // Inside the nearest function the byte before belongs to it too; with
    // overlapping symbols another may end just there.
    *function = f != nullptr && nearest ? f : index->find(link_address - 1);
    return link_address - 1;
}

bool loaded_module::function_at(std::uint64_t address, function_answer& out) {
    const function_symbols::function* f = nullptr;
    described_address(address, &f);
    if (f == nullptr) return false;
    out.name = symbols()->name_of(*f);
    out.start = f->start + description_.bias;
    return true;
}

bool loaded_module::line_at(std::uint64_t address, source_location& out) {
    const function_symbols::function* f = nullptr;
    const std::uint64_t link_address = described_address(address, &f);
    source_lines* source = lines();
    if (source == nullptr) return false;
    return source->find(link_address - lines_bias_, out);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
