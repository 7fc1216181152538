#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_LOADED_MODULE_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_LOADED_MODULE_HPP

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "elf_file.hpp"
#include "function_symbols.hpp"
#include "source_lines.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Where one loaded object's bytes come from.
enum class module_source { file, executable, vdso };

// What the loader says about a loaded object, enough to tell it apart from
// any other object that is or was at the same place.
struct module_description {
    // The name the loader knows the object by, the file to read, and the
    // file name that names it in symbol texts.
    std::string loader_name;
    std::string path;
    std::string name;
    module_source source = module_source::file;
    std::uint64_t bias = 0;
    const void* program_headers = nullptr;
    std::size_t header_count = 0;
    build_id id;
    // Executable segments, as link-time addresses of the object.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> code;
    std::uint64_t first_load = 0;
    // Where the vDSO image is and how long.
    const void* image = nullptr;
    std::size_t image_size = 0;

    bool same_object(const module_description& other) const noexcept {
        return bias == other.bias && program_headers == other.program_headers && header_count == other.header_count &&
               loader_name == other.loader_name && id == other.id && code == other.code;
    }
};

struct function_answer {
    text_view name;
    std::uint64_t start = 0;
};

// One object loaded into the process. Its files are opened, and its symbol
// and line indexes built, on the first lookup that needs them; afterwards
// lookups read immutable data and take no lock.
class loaded_module {
public:
    explicit loaded_module(module_description description);
    ~loaded_module() = default;
    loaded_module(const loaded_module&) = delete;
    loaded_module& operator=(const loaded_module&) = delete;

    const module_description& description() const noexcept { return description_; }
    const std::string& name() const noexcept { return description_.name; }

    // The function at a run-time address, described as a return address is:
    // by the byte before it unless it is the first byte of a function.
    bool function_at(std::uint64_t address, function_answer& out);
    // The file and line of the same byte.
    bool line_at(std::uint64_t address, source_location& out);

private:
    // The link-time address that describes a run-time one, and the function
    // that holds it, if any.
    std::uint64_t described_address(std::uint64_t address, const function_symbols::function** function);
    // Whether the bytes before a runtime address end in a call instruction.
    bool follows_call(std::uint64_t address) const noexcept;
    const function_symbols* symbols();
    source_lines* lines();
    // Under build_:
    const elf_file* object();
    const elf_file* debug_file();

    module_description description_;
    std::mutex build_;
    std::unique_ptr<elf_file> object_;
    std::unique_ptr<elf_file> debug_;
    bool object_tried_ = false;
    bool debug_tried_ = false;
    std::unique_ptr<function_symbols> symbols_;
    std::unique_ptr<source_lines> lines_;
    std::uint64_t lines_bias_ = 0;
    std::atomic<const function_symbols*> symbols_ready_{nullptr};
    std::atomic<source_lines*> lines_ready_{nullptr};
    std::atomic<bool> symbols_tried_{false};
    std::atomic<bool> lines_tried_{false};
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
