// The crash handler under Wine (or Windows): this program runs itself as a
// child for each kind of crash and reads what the child wrote before it died.
// Wine's Debug Engine names nothing, so the checks read the raw part: the
// module and the offset of the faulting code, from the first frame on.
// <windows.h> comes first here, the handler's own declarations after it;
// crash_headers_check.cpp has them the other way round.
#include <windows.h>

#include <korvo/calltrail/crash_handler.hpp>

#include <stdexcept>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"

namespace {

volatile int zero = 0;
volatile int dividend = 7;
volatile int* volatile null_pointer = nullptr;
volatile long long stack_limit = 1LL << 40; // never reached

// Out of line, with work after each crash, so that the crash lies inside.
extern "C" __attribute__((noinline)) void crash_by_access_violation() {
    *null_pointer = 1;
    __asm__ __volatile__("" ::: "memory");
}

extern "C" __attribute__((noinline)) int crash_by_division() {
    const int result = dividend / zero;
    __asm__ __volatile__("" ::: "memory");
    return result;
}

extern "C" __attribute__((noinline)) void crash_by_illegal_instruction() {
    __asm__ __volatile__("ud2");
    __asm__ __volatile__("" ::: "memory");
}

extern "C" __attribute__((noinline)) int crash_by_recursion(volatile char* previous, long long depth) {
    volatile char block[4096];
    block[0] = previous != nullptr ? previous[0] : 1;
    if (depth == stack_limit) return 0;
    const int below = crash_by_recursion(block, depth + 1);
    __asm__ __volatile__("" ::: "memory");
    return below + block[0];
}

void (*volatile abort_through)() = &std::abort;

extern "C" __attribute__((noinline)) void crash_by_abort() {
    abort_through();
    __asm__ __volatile__("" ::: "memory");
}

extern "C" __attribute__((noinline)) void crash_by_uncaught_exception() {
    throw std::runtime_error("nobody catches this");
}

struct crash_kind {
    const char* name;
    DWORD exit_code;
    const char* first_line;
    const void* function; // where the crash happens: the report's first frame
};

const crash_kind kinds[] = {
    {"access_violation", 0xC0000005u, "fatal exception: access violation",
     reinterpret_cast<const void*>(&crash_by_access_violation)},
    {"division", 0xC0000094u, "fatal exception: integer division by zero",
     reinterpret_cast<const void*>(&crash_by_division)},
    {"illegal_instruction", 0xC000001Du, "fatal exception: illegal instruction",
     reinterpret_cast<const void*>(&crash_by_illegal_instruction)},
    {"stack_overflow", 0xC00000FDu, "fatal exception: stack overflow",
     reinterpret_cast<const void*>(&crash_by_recursion)},
    {"abort", 3u, "fatal exception: abort", reinterpret_cast<const void*>(&crash_by_abort)},
    {"uncaught_exception", 3u, "terminate called after an uncaught exception",
     reinterpret_cast<const void*>(&crash_by_uncaught_exception)},
};

void crash(const std::string& how) {
    if (how == "access_violation") crash_by_access_violation();
    if (how == "division") crash_by_division();
    if (how == "illegal_instruction") crash_by_illegal_instruction();
    if (how == "stack_overflow") crash_by_recursion(nullptr, 0);
    if (how == "abort") crash_by_abort();
    if (how == "uncaught_exception") crash_by_uncaught_exception();
}

struct child_result {
    std::string output;
    DWORD exit_code = 0;
    bool finished = false;
};

child_result run_child(const char* kind) {
    child_result result;
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string command = std::string("\"") + program + "\" " + kind;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return result;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(write_end);
    if (started) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) result.output.append(buffer, got);
        result.finished = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
        GetExitCodeProcess(process.hProcess, &result.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(read_end);
    return result;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// A raw line "ADDRESS FILE 0xOFFSET" (after an optional prefix) whose file is
// this program, its backslashes doubled as the raw part escapes them, and
// whose offset lies inside the function.
bool names_offset_in(const std::string& line, const void* function) {
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string escaped;
    for (const char* c = program; *c != '\0'; ++c) escaped += *c == '\\' ? std::string("\\\\") : std::string(1, *c);
    const std::string::size_type at = line.find(" " + escaped + " 0x");
    if (at == std::string::npos) return false;
    const std::uintptr_t offset = std::strtoull(line.c_str() + at + 1 + escaped.size() + 3, nullptr, 16);
    const auto start =
        reinterpret_cast<std::uintptr_t>(function) - reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
    // None of the crashing functions is anywhere near this long.
    return offset >= start && offset < start + 256;
}

std::size_t index_of(const std::vector<std::string>& lines, const std::string& line) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == line) return i;
    return lines.size();
}

void check_crash(const crash_kind& kind) {
    check::section(kind.name);
    const child_result child = run_child(kind.name);
    if (!CHECK(child.finished)) return;
    CHECK_EQ(child.exit_code, kind.exit_code);
    const std::vector<std::string> lines = lines_of(child.output);
    if (!CHECK(!lines.empty())) return;
    CHECK_EQ(lines[0], std::string(kind.first_line));
    // The first frame listed is the faulting instruction, or for abort and an
    // uncaught exception the call to what ends the process, below the frames
    // of the C and C++ runtimes, which are not shown. A stack overflows in
    // the stack probe the function calls first.
    const std::size_t raw = index_of(lines, "raw frames (addr2line -e FILE OFFSET):");
    std::size_t first = raw + 1;
    while (first < lines.size() && lines[first].find(" not shown") != std::string::npos) ++first;
    if (kind.exit_code == 0xC00000FDu && first + 1 < lines.size() && !names_offset_in(lines[first], kind.function))
        ++first;
    if (!CHECK(first < lines.size() && names_offset_in(lines[first], kind.function)))
        std::printf("%s\n", child.output.c_str());
    CHECK(index_of(lines, "modules (FILE BUILD-ID):") < lines.size());
    CHECK(index_of(lines, "trace:") < lines.size());
    if (kind.exit_code == 0xC00000FDu) {
        bool folded = false;
        bool counted = false;
        for (const std::string& line : lines) {
            folded = folded || line.find(" repeat ") != std::string::npos;
            counted = counted || line.find(" not shown") != std::string::npos;
        }
        CHECK(folded);
        CHECK(counted);
    }
    if (std::string(kind.name) == "uncaught_exception") {
        CHECK(lines.size() > 2 && lines[1] == "exception 0: std::runtime_error");
        CHECK(lines.size() > 2 && lines[2] == "  what(): nobody catches this");
        // One report: the abort that follows is not reported again.
        CHECK(child.output.find("fatal exception") == std::string::npos);
    }
}

} // namespace

bool headers_agree(); // crash_headers_check.cpp

int main(int argc, char** argv) {
    if (argc > 1) {
        korvo::calltrail::install_crash_handler();
        crash(argv[1]);
        return 0;
    }
    check::section("headers");
    CHECK(headers_agree());
    for (const crash_kind& kind : kinds) check_crash(kind);
    return check::finish();
}
