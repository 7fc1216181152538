#include "dwfl_peer.hpp"
#include "trace_text.hpp"

#include <elfutils/libdwfl.h>

#include <cxxabi.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace calltrail_bench {
namespace {

const Dwfl_Callbacks process_callbacks = {
    dwfl_linux_proc_find_elf,
    dwfl_standard_find_debuginfo,
    nullptr,
    nullptr,
};

} // namespace

dwfl_peer::dwfl_peer() {
    dwfl_ = dwfl_begin(&process_callbacks);
    if (dwfl_ == nullptr) return;
    dwfl_report_begin(dwfl_);
    const int failed = dwfl_linux_proc_report(dwfl_, getpid());
    dwfl_report_end(dwfl_, nullptr, nullptr);
    if (failed != 0) {
        dwfl_end(dwfl_);
        dwfl_ = nullptr;
    }
}

dwfl_peer::~dwfl_peer() {
    if (dwfl_ != nullptr) dwfl_end(dwfl_);
}

std::string dwfl_peer::render(const void* const* addresses, std::size_t count) const {
    std::string text;
    if (dwfl_ == nullptr) return text;
    for (std::size_t i = 0; i < count; ++i) {
        const auto address = static_cast<Dwarf_Addr>(reinterpret_cast<std::uintptr_t>(addresses[i]));
        Dwfl_Module* module = dwfl_addrmodule(dwfl_, address);
        const char* symbol = nullptr;
        const char* module_name = nullptr;
        const char* file = nullptr;
        int line = 0;
        if (module != nullptr) {
            symbol = dwfl_module_addrname(module, address);
            module_name = dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
            if (Dwfl_Line* source = dwfl_module_getsrc(module, address))
                file = dwfl_lineinfo(source, nullptr, &line, nullptr, nullptr, nullptr);
        }
        char* demangled = symbol != nullptr ? abi::__cxa_demangle(symbol, nullptr, nullptr, nullptr) : nullptr;
        append_trace_line(text, i, addresses[i], demangled != nullptr ? demangled : symbol, file,
                          static_cast<std::size_t>(line), file_name_of(module_name));
        std::free(demangled);
    }
    return text;
}

} // namespace calltrail_bench
