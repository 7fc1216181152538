#ifndef KORVO_CALLTRAIL_SYMBOLIZER_DEBUGINFOD_FETCH_HPP
#define KORVO_CALLTRAIL_SYMBOLIZER_DEBUGINFOD_FETCH_HPP

// Files by build-id from the debuginfod servers that DEBUGINFOD_URLS names,
// through libdebuginfod, loaded when first asked: the libraries never link
// it, and the program works without it. Each fetch ends within its time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvo {
namespace calltrail {
namespace offline {

class debuginfod_fetch {
public:
    // Null, with the reason, when no server is named or libdebuginfod
    // cannot be loaded.
    static std::unique_ptr<debuginfod_fetch> open(unsigned seconds, std::string& problem);
    ~debuginfod_fetch();
    debuginfod_fetch(const debuginfod_fetch&) = delete;
    debuginfod_fetch& operator=(const debuginfod_fetch&) = delete;

    // The path of the file in the client's cache once fetched; empty, with
    // the reason, when no server gave it in time.
    std::string debug_file(const std::vector<std::uint8_t>& id, std::string& problem);
    std::string executable(const std::vector<std::uint8_t>& id, std::string& problem);

    struct library;

private:
    debuginfod_fetch() = default;
    std::string fetch(bool debug, const std::vector<std::uint8_t>& id, std::string& problem);

    std::unique_ptr<library> library_;
    unsigned seconds_ = 0;
};

} // namespace offline
} // namespace calltrail
} // namespace korvo

#endif
