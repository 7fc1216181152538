// calltrail-symbolize against the library itself: for the same frames of the
// test build's objects, in every form of debug information, the program run
// on a crash report (and on every other input it reads) prints the text the
// in-process renderer prints; files are taken by build-id only; a debuginfod
// server is asked only when told, and given up on in time; no input crashes
// or hangs it; and its inline chains are llvm-symbolizer's.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <valgrind/valgrind.h>

#include <korvo/calltrail/calltrail.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crafted_object.hpp"
#include "platform/posix/debug_engine/call_instruction.hpp"
#include "platform/posix/object/debug_file_search.hpp"
#include "platform/posix/object/elf_file.hpp"
#include "report_input.hpp"
#include "symbolizer_paths.hpp"
#include "test_files.hpp"

namespace {

namespace pe = korvo::calltrail::posix_engine;
using korvo::calltrail::offline::escaped_file;
using posix_engine_test::temporary_directory;
using posix_engine_test::write_file;

struct run_result {
    std::string out;
    std::string err;
    int status = -1;
    bool timed_out = false;
};

std::string contents_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The program with `input` on its standard input, the environment given
// added to this one's; killed if it is still running after two minutes.
run_result symbolize(const std::vector<std::string>& arguments, const std::string& input,
                     const std::vector<std::string>& environment = {}) {
    temporary_directory io;
    const std::string in = io.path() + "/in", out = io.path() + "/out", err = io.path() + "/err";
    write_file(in, std::vector<std::uint8_t>(input.begin(), input.end()));
    std::vector<std::string> args = {CALLTRAIL_SYMBOLIZE};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> env = environment;
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    run_result result;
    const pid_t child = fork();
    if (child == 0) {
        const int fds[] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT, 0600),
                           open(err.c_str(), O_WRONLY | O_CREAT, 0600)};
        for (int fd = 0; fd < 3; ++fd) dup2(fds[fd], fd);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (waitpid(child, &result.status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > give_up) {
            result.timed_out = true;
            kill(child, SIGKILL);
            waitpid(child, &result.status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.out = contents_of(out);
    result.err = contents_of(err);
    return result;
}

bool exited_cleanly(const run_result& r) { return !r.timed_out && WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0; }

std::uint64_t load_bias(void* handle) {
    link_map* map = nullptr;
    dlinfo(handle, RTLD_DI_LINKMAP, &map);
    return map != nullptr ? map->l_addr : 0;
}

// Return addresses in an object, at link-time addresses: every place in its
// code that follows what can be a call.
std::vector<std::uint64_t> return_addresses(const std::string& path) {
    std::vector<std::uint64_t> found;
    const std::unique_ptr<pe::elf_file> file = pe::elf_file::open(path.c_str());
    if (file == nullptr) return found;
    for (const pe::load_segment& segment : file->load_segments()) {
        if ((segment.flags & PF_X) == 0 || segment.file_size == 0) continue;
        std::vector<std::uint8_t> code(segment.file_size);
        if (!file->read(segment.offset, code.size(), code.data())) continue;
        for (std::size_t end = pe::longest_call; end <= code.size(); ++end)
            if (pe::ends_in_call(code.data() + end)) found.push_back(segment.address + end);
    }
    return found;
}

std::string hex(std::uint64_t value, int width = 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llx", width, static_cast<unsigned long long>(value));
    return text;
}

std::string address_text(std::uint64_t address) {
    std::string text = hex(address, 16);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return "0x" + text;
}

// Puts a debug file where a debug directory keeps it by build-id.
void keep_by_build_id(const std::string& root, const std::string& object, const std::string& debug_file) {
    const std::unique_ptr<pe::elf_file> file = pe::elf_file::open(object.c_str());
    if (file == nullptr) return;
    const std::string path = pe::build_id_path(root.c_str(), file->id());
    for (std::string::size_type slash = 0; (slash = path.find('/', slash + 1)) != std::string::npos;)
        mkdir(path.substr(0, slash).c_str(), 0755);
    const std::string bytes = contents_of(debug_file);
    write_file(path, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::string number_text(std::size_t n) { return (n < 10 ? "  " : " ") + std::to_string(n); }

// A library loaded here, the frames of its return addresses, and both texts.
struct loaded {
    std::string path;
    void* handle = nullptr;
    std::uint64_t bias = 0;
    std::vector<std::uint64_t> addresses;
    std::string id;

    explicit loaded(const std::string& library) : path(library) {
        handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return;
        bias = load_bias(handle);
        addresses = return_addresses(library);
        const std::unique_ptr<pe::elf_file> file = pe::elf_file::open(library.c_str());
        for (std::uint8_t byte : file->id()) id += hex(byte, 2);
        if (id.empty()) id = "-";
    }
    ~loaded() {
        if (handle != nullptr) dlclose(handle);
    }
    loaded(const loaded&) = delete;
    loaded& operator=(const loaded&) = delete;

    std::string in_process() const {
        std::vector<korvo::calltrail::frame> frames;
        for (const std::uint64_t a : addresses) frames.emplace_back(reinterpret_cast<const void*>(bias + a));
        return korvo::calltrail::detail::to_string(frames.data(), frames.size());
    }
    // The raw part of a crash report on these frames, with the module table
    // (given `id`, or none).
    std::string report(const std::string& module_id, bool module_table = true) const {
        std::string text = "fatal signal: segmentation fault\nraw frames (addr2line -e FILE OFFSET):\n";
        for (std::size_t i = 0; i < addresses.size(); ++i)
            text += number_text(i) + " 0x" + hex(bias + addresses[i], 16) + " " + escaped_file(path) + " 0x" +
                    hex(addresses[i] - 1) + "\n";
        if (module_table) text += "modules (FILE BUILD-ID):\n  " + escaped_file(path) + " " + module_id + "\n";
        return text + "trace:\n";
    }
};

struct form_case {
    const char* name;
    const char* path;
    // Valgrind 3.19 cannot load DWARF 5 split units or zstd sections.
    bool valgrind_loads = true;
};

const form_case forms[] = {
    {"plain", SYMBOLIZER_FORMS_PLAIN},
    {"DWARF 4", SYMBOLIZER_FORMS_DWARF4},
    {"zlib sections", SYMBOLIZER_FORMS_COMPRESSED},
    {"zstd sections", SYMBOLIZER_FORMS_ZSTD, false},
    {"debug link", SYMBOLIZER_FORMS_DEBUGLINK},
    {"debug link, no build-id", SYMBOLIZER_FORMS_DEBUGLINK_CRC},
    {"dwz alternate file", SYMBOLIZER_FORMS_DWZ},
    {"split DWARF 5 in a .dwo", SYMBOLIZER_FORMS_SPLIT, false},
    {"split DWARF 4 in a .dwo", SYMBOLIZER_FORMS_SPLIT_DWARF4},
    {"split DWARF 5 in a .dwp", SYMBOLIZER_FORMS_SPLIT_PACKAGE, false},
    {"split DWARF 4 in a .dwp", SYMBOLIZER_FORMS_SPLIT_DWARF4_PACKAGE},
    {"split DWARF, .dwo missing", SYMBOLIZER_FORMS_SPLIT_DWARF4_MISSING},
    {"MiniDebugInfo", SYMBOLIZER_FORMS_MINI_DEBUGINFO},
    {"stripped", SYMBOLIZER_FORMS_STRIPPED},
    {"an alias the demangler cannot read", SYMBOLIZER_FORMS_ALIAS},
    {"inlined code at -O2", SYMBOLIZER_INLINE},
};

TEST(symbolizer, every_form_gives_the_text_the_library_renders_in_process) {
    for (const form_case& form : forms) {
        SCOPED_TRACE(form.name);
        if (!form.valgrind_loads && RUNNING_ON_VALGRIND) continue;
        const loaded library(form.path);
        ASSERT_NE(library.handle, nullptr) << dlerror();
        ASSERT_GT(library.addresses.size(), 4u);
        const run_result r = symbolize({}, library.report(library.id));
        EXPECT_TRUE(exited_cleanly(r)) << r.err;
        EXPECT_EQ(r.out, library.in_process());
        EXPECT_EQ(r.err, "");
    }
}

TEST(symbolizer, each_input_format_names_the_same_frames) {
    temporary_directory dir;
    // A path that must go through the report's escaping.
    const std::string odd = dir.copy(SYMBOLIZER_FORMS_PLAIN, "odd \\ name\t.so");
    const loaded library(odd);
    ASSERT_NE(library.handle, nullptr) << dlerror();
    const std::string expected = library.in_process();
    std::vector<void*> absolute;
    for (const std::uint64_t a : library.addresses) absolute.push_back(reinterpret_cast<void*>(library.bias + a));
    char** symbols = backtrace_symbols(absolute.data(), static_cast<int>(absolute.size()));
    ASSERT_NE(symbols, nullptr);
    std::string file_offset, file_plus, glibc, bare;
    for (std::size_t i = 0; i < library.addresses.size(); ++i) {
        file_offset += odd + " 0x" + hex(library.addresses[i] - 1) + "\n";
        file_plus += odd + "+0x" + hex(library.addresses[i] - 1) + "\n";
        glibc += std::string(symbols[i]) + "\n";
        bare += hex(library.addresses[i] - 1) + (i % 2 == 0 ? " " : "\n");
    }
    std::free(symbols);
    ASSERT_NE(glibc.find("(forms_entry+0x"), std::string::npos) << "no exported name among the lines";
    ASSERT_NE(glibc.find("(+0x"), std::string::npos) << "no line without a name";
    struct format_case {
        const char* name;
        std::vector<std::string> arguments;
        std::string input;
    };
    const format_case formats[] = {
        {"crash report", {}, library.report(library.id)},
        {"crash report without a module table", {}, library.report("", false)},
        {"FILE OFFSET", {}, file_offset},
        {"FILE+0xOFFSET", {}, file_plus},
        {"backtrace_symbols", {}, glibc},
        {"bare addresses", {"--exe", odd}, bare + "\n"},
    };
    for (const format_case& format : formats) {
        SCOPED_TRACE(format.name);
        const run_result r = symbolize(format.arguments, format.input);
        EXPECT_TRUE(exited_cleanly(r)) << r.err;
        EXPECT_EQ(r.out, expected) << "from:\n" << format.input;
    }
    // For tools: each frame an object, with the same function.
    const run_result json = symbolize({"--json"}, library.report(library.id));
    std::istringstream texts(expected), objects(json.out);
    std::size_t compared = 0;
    for (std::string text, object; std::getline(texts, text) && std::getline(objects, object); ++compared) {
        const std::string::size_type start = text.find("# ") + 2;
        const std::string head = text.substr(start, std::min(text.find(" at "), text.find(" in ")) - start);
        const bool named = head.rfind("0x", 0) != 0;
        EXPECT_EQ(object.find("\"function\":\"" + head + "\"") != std::string::npos, named) << object;
    }
    EXPECT_EQ(compared, library.addresses.size());
    // The lines of a report that stand for frames it does not list.
    const std::string head = library.report(library.id).substr(0, library.report(library.id).find("  3 0x"));
    const std::string ranges = head + "  3-5 repeat 2\n  6-9 repeat 1-2\n  10-99 not shown\n100 0x" +
                               hex(library.bias + library.addresses[0], 16) + "\nmodules (FILE BUILD-ID):\n  " +
                               escaped_file(odd) + " " + library.id + "\n";
    std::istringstream lines(expected);
    std::string rendered[3];
    for (std::string& line : rendered) std::getline(lines, line);
    const std::string name = rendered[2].substr(4, std::min(rendered[2].find(" at "), rendered[2].find(" in ")) - 4);
    const run_result r = symbolize({}, ranges);
    EXPECT_EQ(r.out, rendered[0] + "\n" + rendered[1] + "\n" + rendered[2] + "\n    frames 3-5 repeat `" + name +
                         "` x3\n    frames 6-9 repeat frames 1-2 x2\n    frames 10-99 not shown\n100# " +
                         address_text(library.bias + library.addresses[0]) + "\n")
        << r.err;
}

// Lines that each name a frame are looked up in the order their units lie
// in, not the input's, a batch at a time: frames of two objects of many units
// and a missing one, interleaved and backwards, keep their own text and
// number, as the same frames in a report, which are looked up in order, get
// them.
TEST(symbolizer, frames_looked_up_out_of_order_keep_the_order_of_the_input) {
    const std::string many_units = SYMBOLIZER_MANY_UNITS;
    const std::vector<std::uint64_t> here = return_addresses(many_units);
    const loaded library(SYMBOLIZER_FORMS_PLAIN);
    ASSERT_NE(library.handle, nullptr) << dlerror();
    ASSERT_GT(here.size(), 600u);
    std::vector<std::pair<std::string, std::uint64_t>> frames;
    for (std::size_t i = 0; i < 600; ++i) {
        frames.emplace_back(many_units, here[i * (here.size() / 600)] - 1);
        if (i % 3 == 0) frames.emplace_back(library.path, library.addresses[i % library.addresses.size()] - 1);
        if (i % 97 == 0) frames.emplace_back("/nonexistent/lib.so", 0x1234);
    }
    std::reverse(frames.begin(), frames.end());
    // More than one batch's worth.
    const std::vector<std::pair<std::string, std::uint64_t>> once = frames;
    while (frames.size() <= 17000) frames.insert(frames.end(), once.begin(), once.end());
    std::string lines, report = "raw frames (addr2line -e FILE OFFSET):\n";
    for (std::size_t i = 0; i < frames.size(); ++i) {
        lines += frames[i].first + " 0x" + hex(frames[i].second) + "\n";
        report += number_text(i) + " 0x" + hex(frames[i].second, 16) + " " + escaped_file(frames[i].first) + " 0x" +
                  hex(frames[i].second) + "\n";
    }
    for (const bool inlines : {false, true}) {
        SCOPED_TRACE(inlines ? "with inline frames" : "frames");
        const std::vector<std::string> arguments =
            inlines ? std::vector<std::string>{"--inlines"} : std::vector<std::string>{};
        const run_result standalone = symbolize(arguments, lines), in_order = symbolize(arguments, report);
        EXPECT_TRUE(exited_cleanly(standalone)) << standalone.err;
        std::istringstream out(standalone.out);
        std::size_t numbered = 0;
        for (std::string line; std::getline(out, line);) numbered += line.rfind("    ", 0) != 0;
        EXPECT_EQ(numbered, frames.size());
        EXPECT_EQ(standalone.out, in_order.out);
        EXPECT_EQ(standalone.err, in_order.err);
    }
}

TEST(symbolizer, files_are_taken_by_build_id_wherever_they_are) {
    temporary_directory dir;
    // A stripped library whose debug file is kept in a directory of our own.
    const std::string stripped = dir.copy(SYMBOLIZER_FORMS_DEBUGLINK, "stripped.so");
    const std::string root = dir.path() + "/debug";
    keep_by_build_id(root, stripped, std::string(SYMBOLIZER_FORMS_DEBUGLINK) + ".dbg");
    const loaded library(stripped);
    ASSERT_NE(library.handle, nullptr);
    const std::string report = library.report(library.id);
    const std::string wrong = library.report(std::string(library.id.size(), 'a'));
    // The library itself, reading the same variable in this process.
    setenv("CALLTRAIL_DEBUG_PATH", ("relative:" + root).c_str(), 1);
    const std::string with_lines = library.in_process();
    unsetenv("CALLTRAIL_DEBUG_PATH");
    ASSERT_NE(with_lines.find(" at "), std::string::npos) << "the library did not find the debug file";
    const std::string variable = "CALLTRAIL_DEBUG_PATH=" + root;
    struct search_case {
        const char* name;
        std::vector<std::string> arguments;
        std::vector<std::string> environment;
        std::string input;
        bool lines;
        const char* complaint;
    };
    const search_case cases[] = {
        {"--debug-dir", {"--debug-dir", root}, {}, report, true, nullptr},
        {"the variable", {}, {variable}, report, true, nullptr},
        {"nowhere", {}, {}, report, false, nullptr},
        {"another build's id", {}, {variable}, wrong, false, "its build-id is "},
        {"a file that is gone",
         {},
         {},
         library.report(library.id) + "\n" + dir.path() + "/gone.so 0x10\n",
         false,
         "gone.so: no such file"},
    };
    for (const search_case& c : cases) {
        SCOPED_TRACE(c.name);
        const run_result r = symbolize(c.arguments, c.input, c.environment);
        EXPECT_TRUE(exited_cleanly(r)) << r.err;
        EXPECT_EQ(r.out.find(" at ") != std::string::npos, c.lines) << r.out;
        if (c.lines) {
            EXPECT_EQ(r.out, with_lines);
        }
        if (c.complaint == nullptr) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.complaint), std::string::npos) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line for the module: " << r.err;
        }
    }
    // A report of another build names no function of this one, even where
    // the file with its id is found: it is read for that id alone.
    const run_result r = symbolize({"--debug-dir", root}, wrong);
    EXPECT_EQ(r.out.find("forms"), std::string::npos) << r.out;
}

// A debuginfod server of the test's own, on the loopback interface, serving
// a directory that holds the debug file of a stripped library.
TEST(symbolizer, a_debuginfod_server_is_asked_only_when_told_and_given_up_on_in_time) {
    temporary_directory dir;
    const std::string library_path = dir.copy(SYMBOLIZER_FORMS_DEBUGLINK, "served.so");
    mkdir((dir.path() + "/served").c_str(), 0755);
    dir.copy((std::string(SYMBOLIZER_FORMS_DEBUGLINK) + ".dbg").c_str(), "served/served.debug");
    const loaded library(library_path);
    ASSERT_NE(library.handle, nullptr);
    const std::string report = library.report(library.id);
    // What the library renders with the debug file at hand.
    keep_by_build_id(dir.path() + "/debug", library_path, std::string(SYMBOLIZER_FORMS_DEBUGLINK) + ".dbg");
    setenv("CALLTRAIL_DEBUG_PATH", (dir.path() + "/debug").c_str(), 1);
    const std::string expected = library.in_process();
    unsetenv("CALLTRAIL_DEBUG_PATH");
    // A port free a moment ago: bind to 0, read it, let it go.
    const auto free_port = [] {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
        close(s);
        return ntohs(a.sin_port);
    };
    const std::string port = std::to_string(free_port());
    const pid_t server = fork();
    if (server == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        execlp("debuginfod", "debuginfod", "-F", "-p", port.c_str(), "-d", (dir.path() + "/index.sqlite").c_str(), "-t",
               "0", "-g", "0", "-c", "1", (dir.path() + "/served").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::vector<std::string> environment = {"DEBUGINFOD_URLS=http://127.0.0.1:" + port,
                                                  "DEBUGINFOD_CACHE_PATH=" + dir.path() + "/cache"};
    // Until the server has scanned its directory; each try asks it anew.
    run_result asked;
    for (int attempt = 0; attempt < 60; ++attempt) {
        // A miss is remembered in the cache: each try starts without one.
        if (std::system(("rm -rf '" + dir.path() + "/cache'").c_str()) != 0) break;
        asked = symbolize({"--debuginfod"}, report, environment);
        if (asked.out.find(" at ") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    EXPECT_TRUE(exited_cleanly(asked)) << asked.err;
    EXPECT_NE(expected.find(" at "), std::string::npos);
    EXPECT_EQ(asked.out, expected) << asked.err;
    // Not asked: the client's cache is read, with the server gone.
    const run_result cached = symbolize({}, report, environment);
    EXPECT_EQ(cached.out, asked.out);
    const run_result not_asked = symbolize({}, report, {environment[0]});
    EXPECT_EQ(not_asked.out.find(" at "), std::string::npos);

    // A server that takes the connection and never answers.
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(silent, 8), 0);
    getsockname(silent, reinterpret_cast<sockaddr*>(&a), &size);
    const run_result waited = symbolize({"--debuginfod", "--debuginfod-timeout", "1"}, report,
                                        {"DEBUGINFOD_URLS=http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)),
                                         "DEBUGINFOD_CACHE_PATH=" + dir.path() + "/silent-cache"});
    close(silent);
    EXPECT_TRUE(exited_cleanly(waited)) << waited.err;
    EXPECT_EQ(waited.out.find(" at "), std::string::npos);
    EXPECT_NE(waited.err.find("no debuginfod server answered within 1 s"), std::string::npos) << waited.err;
}

// The object fuzzer's seeds and kept inputs, mutated as its replay mutates
// them, the crafted objects of the hostile tests, files that are no objects,
// and input that is no report: each frame gets a line, the program ends.
TEST(symbolizer, hostile_objects_and_input_end_in_a_trace_not_a_crash) {
    temporary_directory dir;
    std::vector<std::string> files;
    std::mt19937_64 random(20240612);
    int n = 0;
    for (const char* seed : {SYMBOLIZER_FUZZ_SEEDS}) {
        const std::string original = contents_of(seed);
        files.push_back(seed);
        for (int round = 0; round < 24 && !original.empty(); ++round) {
            std::string bytes = original;
            // Mostly in the headers, where a reader's decisions lie.
            const std::size_t span = round % 2 == 0 ? std::min<std::size_t>(bytes.size(), 4096) : bytes.size();
            for (int change = 0; change < 1 + round % 4; ++change) bytes[random() % span] = static_cast<char>(random());
            files.push_back(dir.path() + "/mutated" + std::to_string(n++) + ".so");
            write_file(files.back(), std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        }
    }
    const crafted::bytes crafted_objects[] = {crafted::shared_abbreviations(64, 64),
                                              crafted::overlapping_abbreviations(64),
                                              crafted::shared_range_list(64, 64),
                                              crafted::long_directory(256, 4096, true),
                                              crafted::inflating_unit(std::size_t{1} << 20),
                                              crafted::linked_library("linked.debug", 0)};
    for (const crafted::bytes& image : crafted_objects) {
        files.push_back(dir.path() + "/crafted" + std::to_string(n++) + ".so");
        write_file(files.back(), image);
    }
    files.push_back(dir.fifo("fifo.so"));
    files.push_back(dir.path());
    files.push_back("/dev/zero");
    std::string input = "raw frames (addr2line -e FILE OFFSET):\n";
    std::size_t frames = 0;
    for (const std::string& file : files)
        for (const std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{0x1000}, std::uint64_t{0x1234},
                                           std::uint64_t{0x7fffffffffffffff}, ~std::uint64_t{0}})
            input +=
                number_text(frames++) + " 0x" + hex(offset, 16) + " " + escaped_file(file) + " 0x" + hex(offset) + "\n";
    input += "modules (FILE BUILD-ID):\n  " + escaped_file(files[1]) + " 00\n  x -\n  y zz\n";
    // Lines that look like frames and reports, but are not quite.
    input += "raw frames:\n 99999999999999999999 0x0\n  1-0 repeat 5\n  2-3 repeat 9-1\n\\x\n[0x\n(+0x1) [0xzz]\n";
    input += std::string(100000, 'x') + "\n" + std::string("\0\x01\xff\n", 4) + "+0x\n 0x\n";
    for (const bool inlines : {false, true}) {
        const run_result r =
            symbolize(inlines ? std::vector<std::string>{"--inlines"} : std::vector<std::string>{}, input);
        EXPECT_TRUE(exited_cleanly(r)) << (r.timed_out ? "timed out" : "") << " status " << r.status;
        std::istringstream lines(r.out);
        std::size_t numbered = 0;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_TRUE(line.find("# ") != std::string::npos || line.rfind("    ", 0) == 0) << line;
            numbered += line.find("# ") != std::string::npos && line.rfind("    ", 0) != 0;
        }
        EXPECT_EQ(numbered, frames);
    }
}

// llvm-symbolizer's --inlining answers for offsets in a library: for each,
// every level as "FUNCTION at FILE:LINE", innermost first.
std::vector<std::vector<std::string>> llvm_chains(const std::string& library,
                                                  const std::vector<std::uint64_t>& offsets) {
    temporary_directory dir;
    std::string input;
    for (const std::uint64_t offset : offsets) input += "0x" + hex(offset) + "\n";
    write_file(dir.path() + "/in", std::vector<std::uint8_t>(input.begin(), input.end()));
    const std::string command = "llvm-symbolizer-14 --inlining --obj='" + library + "' < '" + dir.path() + "/in'";
    std::vector<std::vector<std::string>> chains(1);
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    char line[8192];
    std::string function;
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (text.empty()) {
            chains.emplace_back();
        } else if (function.empty()) {
            function = text;
        } else {
            // FILE:LINE:COLUMN; the column is not ours to give.
            chains.back().push_back(function + " at " + text.substr(0, text.rfind(':')));
            function.clear();
        }
    }
    pclose(pipe);
    chains.pop_back();
    return chains;
}

TEST(symbolizer, inline_chains_are_llvm_symbolizers) {
    // llvm-symbolizer 14 reads no inlined calls from GCC's split units: the
    // split build's code is the plain build's, and so are its chains.
    const struct {
        const char* path;
        const char* asked;
    } cases[] = {{SYMBOLIZER_DEEP_INLINE, SYMBOLIZER_DEEP_INLINE},
                 {SYMBOLIZER_DEEP_INLINE_DWARF4, SYMBOLIZER_DEEP_INLINE_DWARF4},
                 {SYMBOLIZER_DEEP_INLINE_SPLIT, SYMBOLIZER_DEEP_INLINE}};
    for (const auto& c : cases) {
        const char* path = c.path;
        SCOPED_TRACE(path);
        const std::vector<std::uint64_t> addresses = return_addresses(path);
        std::string input;
        for (const std::uint64_t a : addresses) input += std::string(path) + " 0x" + hex(a - 1) + "\n";
        const run_result r = symbolize({"--inlines"}, input);
        EXPECT_TRUE(exited_cleanly(r)) << r.err;
        std::istringstream lines(r.out);
        std::vector<std::vector<std::string>> chains;
        std::size_t deep = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("    inlined in ", 0) == 0) {
                chains.back().push_back(line.substr(15));
                continue;
            }
            chains.emplace_back(1, line.substr(line.find("# ") + 2));
        }
        ASSERT_EQ(chains.size(), addresses.size());
        // What lies below an outermost call is read when an address inside it
        // is first asked for: asked backwards and each twice, after its
        // neighbours have been read, every frame keeps its chain.
        std::string backwards;
        for (auto a = addresses.rbegin(); a != addresses.rend(); ++a) {
            const std::string line = std::string(path) + " 0x" + hex(*a - 1) + "\n";
            backwards += line + line;
        }
        const run_result again = symbolize({"--inlines"}, backwards);
        std::string expected_again;
        for (auto chain = chains.rbegin(); chain != chains.rend(); ++chain) {
            std::string text;
            for (const std::string& level : *chain) text += level + "|";
            expected_again += text + "\n" + text + "\n";
        }
        std::string got_again;
        std::istringstream again_lines(again.out);
        std::string text;
        for (std::string line; std::getline(again_lines, line);) {
            if (line.rfind("    inlined in ", 0) == 0) {
                text += line.substr(15) + "|";
                continue;
            }
            if (!text.empty()) got_again += text + "\n";
            text = line.substr(line.find("# ") + 2) + "|";
        }
        got_again += text + "\n";
        EXPECT_EQ(got_again, expected_again);
        std::vector<std::uint64_t> offsets;
        for (const std::uint64_t a : addresses) offsets.push_back(a - 1);
        const std::vector<std::vector<std::string>> llvm = llvm_chains(c.asked, offsets);
        ASSERT_EQ(llvm.size(), addresses.size());
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            const std::vector<std::string>& expected = llvm[i];
            // Code without lines (the C runtime's) is shown by module here.
            const std::string& first = expected.empty() ? std::string() : expected[0];
            if (first.empty() || first.find(" at ??") != std::string::npos || first.substr(first.size() - 2) == ":0")
                continue;
            EXPECT_EQ(chains[i], expected) << "at 0x" << hex(addresses[i] - 1);
            deep += chains[i].size() >= 4;
        }
        EXPECT_GT(deep, 4u) << "too few chains four levels deep to tell";
    }
}

} // namespace
