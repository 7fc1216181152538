// calltrail-symbolize: names, files and lines for raw frames, read offline
// from the files they name. See `calltrail-symbolize --help`.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <memory>
#include <vector>

#include "frame_batches.hpp"
#include "offline_symbolizer.hpp"
#include "report_input.hpp"
#include "trace_writer.hpp"

namespace {

using namespace korvo::calltrail::offline;

const char usage[] =
    "usage: calltrail-symbolize [OPTION]... [FILE]...\n"
    "Prints the trace of raw frames read from each FILE, or from standard input:\n"
    "  the raw part of calltrail's crash reports (its rendered part, as the library renders it),\n"
    "  lines of FILE OFFSET or FILE+0xOFFSET (OFFSET as addr2line -e FILE takes it),\n"
    "  lines of glibc's backtrace_symbols(), or bare addresses in the file --exe names.\n"
    "\n"
    "  -e, --exe FILE             bare addresses are addresses in FILE\n"
    "  -i, --inlines              each inlined call on a line of its own, innermost first\n"
    "      --json                 one JSON object a line, for tools\n"
    "      --debug-dir DIR        look for debug files by build-id and debug link under DIR too\n"
    "                             (as under /usr/lib/debug); the directories of CALLTRAIL_DEBUG_PATH\n"
    "                             and /usr/lib/debug come after those given\n"
    "      --debuginfod           ask the debuginfod servers DEBUGINFOD_URLS names for files not found here\n"
    "      --debuginfod-timeout S give up on a server after S seconds (10)\n"
    "  -h, --help                 this text\n"
    "\n"
    "Files are taken by build-id: a file whose build-id differs from the report's is never read for\n"
    "names. Why a module's frames have no names is said once on standard error.\n";

// Standard output, written in pieces, and before input is waited for: a
// program on the other end of a pipe sees each answer without delay.
class output {
public:
    std::string text;

    bool flush() {
        if (failed_) return false;
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed_ = true;
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        text.clear();
        return true;
    }

    // Passes on what has piled up, in pieces of a size a pipe takes in a
    // few writes; a write that failed is not tried again.
    void drain() {
        if (text.size() >= std::size_t{64} * 1024) flush();
    }

private:
    bool failed_ = false;
};

// Lines of a file, each handed on whole; a line longer than any input has
// reason to be is passed over. What the lines of one read gave is settled
// before the next read, and before output is waited for.
class line_source {
public:
    static constexpr std::size_t longest_line = std::size_t{1} << 20;

    explicit line_source(int fd) : fd_(fd) {}

    template <typename Line, typename Settle> bool read_all(output& out, Line&& on_line, Settle&& settle) {
        // A file's frames come in one read, to be looked up in the order
        // that suits the files they are in.
        // Not zeroed: a read of a few lines touches a page of it, not all.
        constexpr std::size_t buffer_size = std::size_t{1} << 20;
        const std::unique_ptr<char[]> buffer(new char[buffer_size]);
        std::string pending;
        bool overlong = false;
        for (;;) {
            settle();
            pollfd ready{fd_, POLLIN, 0};
            if ((out.text.size() >= 4096 || ::poll(&ready, 1, 0) == 0) && !out.flush()) return false;
            const ssize_t n = ::read(fd_, buffer.get(), buffer_size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            const char* data = buffer.get();
            const char* end = data + n;
            while (data < end) {
                const char* newline =
                    static_cast<const char*>(std::memchr(data, '\n', static_cast<std::size_t>(end - data)));
                const char* stop = newline != nullptr ? newline : end;
                if (!overlong) pending.append(data, stop);
                if (pending.size() > longest_line) {
                    overlong = true;
                    pending.clear();
                }
                data = stop;
                if (newline == nullptr) break;
                ++data;
                if (!overlong) on_line(pending);
                pending.clear();
                overlong = false;
                // The first answer goes out at once, the others by the page.
                const bool first = !answered_ && !out.text.empty();
                if ((first || out.text.size() >= 4096) && !out.flush()) return false;
                answered_ |= first;
            }
        }
        if (!overlong && !pending.empty()) on_line(pending);
        return true;
    }

private:
    int fd_;
    bool answered_ = false;
};

struct options {
    std::string executable;
    output_style style = output_style::trace;
    search_settings search;
    std::vector<std::string> inputs;
};

bool parse_options(int argc, char** argv, options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            std::exit(0);
        } else if ((arg == "-e" || arg == "--exe") && has_value) {
            o.executable = argv[++i];
        } else if (arg == "-i" || arg == "--inlines") {
            if (o.style == output_style::trace) o.style = output_style::inlines;
        } else if (arg == "--json") {
            o.style = output_style::json;
        } else if (arg == "--debug-dir" && has_value) {
            o.search.debug_dirs.emplace_back(argv[++i]);
        } else if (arg == "--debuginfod") {
            o.search.debuginfod = true;
        } else if (arg == "--debuginfod-timeout" && has_value) {
            char* end = nullptr;
            const unsigned long seconds = std::strtoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || seconds == 0 || seconds > 3600) return false;
            o.search.debuginfod_seconds = static_cast<unsigned>(seconds);
        } else if (arg == "-" || (!arg.empty() && arg[0] != '-')) {
            o.inputs.push_back(arg);
        } else {
            return false;
        }
    }
    if (o.inputs.empty()) o.inputs.emplace_back("-");
    return true;
}

// The heap grows by this much at a time, and is held in huge pages where the
// system gives them: a run reads megabytes into it, and a fault for each of
// its pages would cost more than the bytes.
constexpr std::size_t heap_step = std::size_t{64} << 20;
constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;

void heap_in_huge_pages() {
    mallopt(M_TOP_PAD, static_cast<int>(heap_step));
    // Below the threshold of mappings of their own: it comes from the heap,
    // untouched costs address space only, and freed stays the heap's top.
    void* block = std::malloc(heap_step / 4);
    if (block == nullptr) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(block) + huge_page - 1) & ~(huge_page - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(sbrk(0)) & ~(huge_page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    std::free(block);
}

} // namespace

int main(int argc, char** argv) {
    // A crash handler starts it with every signal blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    options o;
    if (!parse_options(argc, argv, o)) {
        std::fputs(usage, stderr);
        return 2;
    }
    // Each unit read leaves large blocks behind (its rows as they grew): kept
    // in the heap for the next unit, they are not faulted in again.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    heap_in_huge_pages();
    // A reader that goes away ends the program quietly.
    signal(SIGPIPE, SIG_IGN);
    output out;
    const auto complain = [&out](const std::string& problem) {
        // After what is already written for the frames before it.
        out.flush();
        const std::string line = "calltrail-symbolize: " + problem + "\n";
        if (::write(STDERR_FILENO, line.data(), line.size()) < 0) return;
    };
    offline_symbolizer symbolizer(o.search, o.style != output_style::trace, complain);
    trace_writer writer(symbolizer, o.style, out.text);
    frame_batches batches(symbolizer, writer, [&out] { out.drain(); });
    int status = 0;
    for (const std::string& input : o.inputs) {
        const int fd = input == "-" ? STDIN_FILENO : ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            complain(input + ": " + std::strerror(errno));
            status = 2;
            continue;
        }
        input_reader reader(input_reader::handlers{[&](const raw_frame& f) { batches.add(f); },
                                                   [&](const crash_report& r) {
                                                       batches.finish();
                                                       writer.report(r);
                                                   }},
                            o.executable);
        line_source lines(fd);
        const bool read = lines.read_all(
            out, [&](const std::string& line) { reader.line(line); }, [&] { batches.finish(); });
        reader.end();
        batches.finish();
        if (fd != STDIN_FILENO) ::close(fd);
        if (!read) {
            if (!out.flush()) return 1;
            complain(input + ": " + std::strerror(errno));
            status = 2;
        }
    }
    const int code = out.flush() ? status : 1;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return code;
#else
    // The system takes back what was read at once; freeing it unit by unit
    // costs a twentieth of a run.
    _exit(code);
#endif
}
