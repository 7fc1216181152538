// The in-process side of the offline symbolizer's figures: a large program
// (GoogleTest and calltrail's readers are compiled into it) that renders
// frames of itself and of the libraries it has loaded, given as
// "FILE OFFSET" lines with OFFSET the byte to look up, as the library renders
// them in the process that captured them.
#include <link.h>
#include <limits.h>
#include <stdlib.h>

#include <korvo/calltrail/calltrail.hpp>

#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::uintptr_t> loaded_objects() {
    std::map<std::string, std::uintptr_t> objects;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto& found = *static_cast<std::map<std::string, std::uintptr_t>*>(data);
            char real[PATH_MAX];
            const char* name =
                info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' ? info->dlpi_name : "/proc/self/exe";
            if (realpath(name, real) != nullptr) found.emplace(real, info->dlpi_addr);
            return 0;
        },
        &objects);
    return objects;
}

} // namespace

int main() {
    const std::map<std::string, std::uintptr_t> objects = loaded_objects();
    std::vector<korvo::calltrail::frame> frames;
    for (std::string line; std::getline(std::cin, line);) {
        const std::string::size_type blank = line.rfind(' ');
        char real[PATH_MAX];
        if (blank == std::string::npos || realpath(line.substr(0, blank).c_str(), real) == nullptr) continue;
        const auto object = objects.find(real);
        if (object == objects.end()) {
            std::cerr << "not loaded here: " << real << "\n";
            return 1;
        }
        // A return address: the byte after the one to look up.
        const std::uintptr_t offset = std::stoull(line.substr(blank + 1), nullptr, 16);
        frames.emplace_back(reinterpret_cast<const void*>(object->second + offset + 1));
    }
    std::cout << korvo::calltrail::detail::to_string(frames.data(), frames.size());
}
