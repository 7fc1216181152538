#ifndef KORVO_CALLTRAIL_SYMBOLIZER_OBJECT_SEARCH_HPP
#define KORVO_CALLTRAIL_SYMBOLIZER_OBJECT_SEARCH_HPP

// Where the files a report names are, on this machine or another: the
// named file when its build-id is the report's; else a file with that
// build-id under the debug directories, in the debuginfod client's cache,
// and, only when asked, from a debuginfod server. A file whose build-id
// differs from the report's is never read for names.

#include <memory>
#include <string>
#include <vector>

#include "debuginfod_fetch.hpp"
#include "platform/posix/object/debug_file_search.hpp"
#include "platform/posix/object/elf_file.hpp"
#include "report_input.hpp"

namespace korvo {
namespace calltrail {
namespace offline {

struct search_settings {
    // --debug-dir, in order; the library's own (CALLTRAIL_DEBUG_PATH and
    // /usr/lib/debug) come after them.
    std::vector<std::string> debug_dirs;
    // Ask the servers DEBUGINFOD_URLS names, each fetch ending within
    // this time.
    bool debuginfod = false;
    unsigned debuginfod_seconds = 10;
};

class object_search {
public:
    explicit object_search(search_settings settings);
    object_search(const object_search&) = delete;
    object_search& operator=(const object_search&) = delete;

    // The object to read for a file the process had loaded: null, with the
    // reason, when none with the reported build-id is found.
    std::unique_ptr<posix_engine::elf_file> object(const std::string& path, const reported_id& id,
                                                   std::string& problem);
    // Where the object's separate debug file may be.
    std::shared_ptr<const posix_engine::debug_places> places() const { return places_; }
    // Why a debug file asked of a server through places() did not come;
    // emptied by the call.
    std::string take_debug_problem() { return std::move(debug_problem_); }

private:
    // A file with the build-id, by it alone; tries the server only when
    // `fetch` says so.
    std::unique_ptr<posix_engine::elf_file> by_build_id(const posix_engine::build_id& id, bool debug, bool fetch,
                                                        std::string& problem);
    debuginfod_fetch* server(std::string& problem);

    search_settings settings_;
    std::vector<std::string> roots_;
    std::vector<std::string> caches_;
    std::shared_ptr<posix_engine::debug_places> places_;
    std::unique_ptr<debuginfod_fetch> server_;
    bool server_tried_ = false;
    std::string server_problem_;
    std::string debug_problem_;
};

// The build-id in lower-case hex, as the report writes it.
std::string hex_id(const posix_engine::build_id& id);

} // namespace offline
} // namespace calltrail
} // namespace korvo

#endif
