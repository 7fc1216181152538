// Built once against calltrail_engine and once against calltrail_engine_d, and
// run under Wine (or Windows): the real stack walker, COM runtime and Debug
// Engine behind the library.
#include <korvo/calltrail/calltrail.hpp>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"

namespace ct = korvo::calltrail;
using ct::detail::this_thread_frames;

#ifndef CALLTRAIL_LIBRARY_FILE
#error "CALLTRAIL_LIBRARY_FILE names the DLL this program is linked against"
#endif

namespace {

const void* const sentinel = reinterpret_cast<const void*>(std::uintptr_t{0x5E5E5E5E});

bool under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The module holding a return address, looked up one byte back at the call.
HMODULE module_of(const void* return_address) {
    HMODULE module = nullptr;
    const auto* call = static_cast<const char*>(return_address) - 1;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(call), &module))
        return nullptr;
    return module;
}

std::string file_name_of(HMODULE module) {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    std::string name(path, length);
    const std::size_t slash = name.find_last_of("\\/");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// A return address lies just behind the call inside the function that made it;
// none of these small functions is anywhere near this long.
template <class F> bool returns_into(const void* return_address, F* function) {
    const auto start = reinterpret_cast<std::uintptr_t>(function);
    const auto at = reinterpret_cast<std::uintptr_t>(return_address);
    return at > start && at - start < 1024;
}

std::string hex_text(std::uint64_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 60; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
    return text;
}

std::string position_text(std::size_t i) { return (i < 10 ? " " : "") + std::to_string(i) + "# "; }

std::string line_at(const std::vector<std::string>& lines, std::size_t i) {
    return i < lines.size() ? lines[i] : "<no line " + std::to_string(i) + ">";
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            lines.push_back(text.substr(begin) + "<no line feed>");
            break;
        }
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

// No tail call, so that the walk really passes through this frame.
__attribute__((noinline)) std::size_t walk(const void** out, std::size_t max_frames, std::size_t skip) {
    const std::size_t count = this_thread_frames::collect(out, max_frames, skip);
    __asm__ __volatile__("" ::: "memory");
    return count;
}

// Every walk compared with another is made from this one call site, so that
// the frames above it are the same.
__attribute__((noinline)) std::vector<const void*> capture(std::size_t max_frames, std::size_t skip,
                                                           std::size_t room = 64) {
    std::vector<const void*> out(room, sentinel);
    const std::size_t count = walk(out.data(), max_frames, skip);
    __asm__ __volatile__("" ::: "memory");
    out.resize(count < room ? count : room);
    return out;
}

__attribute__((noinline)) std::vector<const void*> descend(int depth) {
    std::vector<const void*> frames = depth == 0 ? capture(64, 0) : descend(depth - 1);
    __asm__ __volatile__("" ::: "memory");
    return frames;
}

__attribute__((noinline)) std::string trace_here() {
    std::string text = ct::current_trace();
    __asm__ __volatile__("" ::: "memory");
    return text;
}

void collect_captures_this_stack() {
    check::section("collect: a plausible stack");
    const HMODULE library = module_of(reinterpret_cast<const char*>(&this_thread_frames::collect) + 1);
    CHECK_EQ(file_name_of(library), std::string(CALLTRAIL_LIBRARY_FILE));
    const HMODULE program = GetModuleHandleW(nullptr);

    const std::vector<const void*> frames = capture(64, 0);
    if (!CHECK(frames.size() >= 4)) return;
    // The walk begins inside collect, then climbs through our own frames.
    CHECK(module_of(frames[0]) == library);
    CHECK(returns_into(frames[1], &walk));
    CHECK(returns_into(frames[2], &capture));
    CHECK(module_of(frames[3]) == program);
    // ... and on to where the system started the thread. Wine's walker may go
    // on past that point into whatever lies above it on the stack.
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    bool reaches_start = false;
    for (std::size_t i = 4; i < frames.size() && !reaches_start; ++i) {
        const HMODULE module = module_of(frames[i]);
        reaches_start = module == kernel32 || module == ntdll;
    }
    CHECK(reaches_start);
}

void collect_honours_skip() {
    check::section("collect: skip");
    const std::size_t skips[] = {0, 1, 2, 3, std::size_t{1} << 32, (std::size_t{1} << 32) + 1};
    std::vector<std::vector<const void*>> walks;
    for (const std::size_t skip : skips) walks.push_back(capture(64, skip));
    const std::vector<const void*>& full = walks[0];
    for (std::size_t i = 1; i < walks.size(); ++i) {
        // Only the low 32 bits of skip count.
        const std::size_t dropped = skips[i] & 0xFFFFFFFFu;
        if (!CHECK_EQ(walks[i].size() + dropped, full.size())) continue;
        bool same = true;
        for (std::size_t k = 0; k < walks[i].size(); ++k) same = same && walks[i][k] == full[k + dropped];
        CHECK(same);
    }
    const std::vector<const void*> skip_one = capture(64, 1);
    CHECK(!skip_one.empty() && returns_into(skip_one[0], &walk));
    CHECK_EQ(capture(64, 100000).size(), 0u);
}

void collect_honours_max_frames() {
    check::section("collect: max_frames");
    const std::vector<const void*> full = capture(64, 0);
    for (const std::size_t max : {std::size_t{0}, std::size_t{1}, std::size_t{2}, (std::size_t{1} << 32) + 3}) {
        std::vector<const void*> out(8, sentinel);
        const std::size_t count = walk(out.data(), max, 0);
        const std::size_t wanted = max & 0xFFFFFFFFu;
        CHECK_EQ(count, wanted);
        bool untouched = true;
        for (std::size_t k = wanted; k < out.size(); ++k) untouched = untouched && out[k] == sentinel;
        CHECK(untouched);
    }
    // Each further frame on the stack is one more address.
    const std::vector<const void*> shallow = descend(0);
    const std::vector<const void*> deep = descend(5);
    CHECK_EQ(deep.size(), shallow.size() + 5);
    if (deep.size() == shallow.size() + 5) {
        bool inside = true;
        for (std::size_t k = 3; k < 9; ++k) inside = inside && returns_into(deep[k], &descend);
        CHECK(inside);
    }
    const std::vector<const void*> many = capture(70000, 0, 70000);
    CHECK(many.size() <= 65535);
    CHECK_EQ(many.size(), full.size());
}

void dump_does_nothing() {
    check::section("dump");
    const void* frames[2] = {sentinel, nullptr};
    CHECK_EQ(ct::detail::dump(static_cast<void*>(nullptr), frames, 2), 0u);
    CHECK_EQ(ct::detail::dump("trace.txt", frames, 2), 0u);
    CHECK_EQ(ct::detail::dump(static_cast<const char*>(nullptr), nullptr, ~std::size_t{0}), 0u);
    CHECK(frames[0] == sentinel && frames[1] == nullptr);
}

void traces_of_this_stack(bool wine) {
    check::section("detail::to_string of a captured stack");
    const std::vector<const void*> addresses = capture(64, 0);
    std::vector<ct::frame> frames;
    for (const void* address : addresses) frames.emplace_back(address);
    const std::string text = ct::detail::to_string(frames.data(), frames.size());
    CHECK(!text.empty() && text.back() == '\n');
    CHECK(text.find('\r') == std::string::npos);
    const std::vector<std::string> lines = lines_of(text);
    if (!CHECK_EQ(lines.size(), frames.size())) return;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string position = position_text(i);
        if (!CHECK_EQ(lines[i].substr(0, position.size()), position)) continue;
        const std::string body = lines[i].substr(position.size());
        // Wine's engine knows no names or lines, so every frame falls back to
        // its address, exactly as the walk reported it.
        if (wine)
            CHECK_EQ(body, hex_text(reinterpret_cast<std::uintptr_t>(frames[i].code_address())));
        else
            CHECK(!body.empty());
    }
    // One frame alone renders as its line does, without position or line feed.
    for (std::size_t i = 0; i < 3 && i < frames.size(); ++i)
        CHECK_EQ(ct::to_string(frames[i]), lines[i].substr(position_text(i).size()));

    if (wine) {
        for (std::size_t i = 0; i < 2 && i < frames.size(); ++i) {
            CHECK_EQ(frames[i].name(), std::string());
            CHECK_EQ(frames[i].source_file(), std::string());
            CHECK_EQ(frames[i].source_line(), 0u);
        }
        // The one-call helper starts at its caller.
        const std::vector<std::string> helper = lines_of(trace_here());
        if (CHECK(!helper.empty() && helper[0].size() == 4 + 18)) {
            const auto first = static_cast<std::uintptr_t>(std::strtoull(helper[0].c_str() + 4, nullptr, 16));
            CHECK(returns_into(reinterpret_cast<const void*>(first), &trace_here));
        }
    }
}

// Addresses in no module have neither name nor module anywhere, so their text
// is the address alone.
std::vector<ct::frame> made_up_frames(std::size_t count) {
    std::vector<ct::frame> frames;
    for (std::size_t i = 0; i < count; ++i)
        frames.emplace_back(reinterpret_cast<const void*>(std::uintptr_t{0x1234} + 0x10 * i));
    return frames;
}

std::string expected_trace(const std::vector<ct::frame>& frames) {
    std::string text;
    for (std::size_t i = 0; i < frames.size(); ++i)
        text += position_text(i) + hex_text(reinterpret_cast<std::uintptr_t>(frames[i].code_address())) + "\n";
    return text;
}

void traces_of_made_up_addresses() {
    check::section("detail::to_string: positions and address texts");
    const std::vector<ct::frame> twelve = made_up_frames(12);
    const std::string text = ct::detail::to_string(twelve.data(), twelve.size());
    CHECK_EQ(text, expected_trace(twelve));
    const std::vector<std::string> lines_of_twelve = lines_of(text);
    CHECK_EQ(line_at(lines_of_twelve, 0), std::string(" 0# 0x0000000000001234"));
    CHECK_EQ(line_at(lines_of_twelve, 9), std::string(" 9# 0x00000000000012C4"));
    CHECK_EQ(line_at(lines_of_twelve, 10), std::string("10# 0x00000000000012D4"));

    const std::vector<ct::frame> long_trace = made_up_frames(101);
    const std::vector<std::string> lines = lines_of(ct::detail::to_string(long_trace.data(), long_trace.size()));
    if (CHECK_EQ(lines.size(), 101u)) {
        CHECK_EQ(lines[99].substr(0, 4), std::string("99# "));
        CHECK_EQ(lines[100].substr(0, 5), std::string("100# "));
    }

    const ct::frame high(reinterpret_cast<const void*>(std::uintptr_t{0xFEDCBA9876543210u}));
    CHECK_EQ(ct::to_string(high), std::string("0xFEDCBA9876543210"));
    CHECK_EQ(ct::to_string(ct::frame(nullptr)), std::string("0x0000000000000000"));
    CHECK_EQ(ct::detail::to_string(&high, 1), std::string(" 0# 0xFEDCBA9876543210\n"));
    CHECK_EQ(ct::detail::to_string(twelve.data(), 0), std::string());
}

// The library initialises COM for the length of each call and must leave the
// thread exactly as it found it.
void com_left_as_found() {
    check::section("COM on the calling thread");
    const ct::frame f(reinterpret_cast<const void*>(std::uintptr_t{0x1234}));
    HRESULT after_fresh = E_FAIL, after_sta = E_FAIL, after_mta = E_FAIL, sta = E_FAIL, mta = E_FAIL;
    std::string text_fresh;
    std::thread([&] {
        text_fresh = ct::to_string(f);
        // Had the library left its multithreaded apartment behind, this would
        // answer RPC_E_CHANGED_MODE.
        after_fresh = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(after_fresh)) CoUninitialize();
    }).join();
    std::thread([&] {
        sta = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        (void)ct::to_string(f);
        // Still ours: a stray CoUninitialize would have dropped it.
        after_sta = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(after_sta)) CoUninitialize();
        if (SUCCEEDED(sta)) CoUninitialize();
    }).join();
    std::thread([&] {
        mta = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        (void)ct::detail::to_string(&f, 1);
        after_mta = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(after_mta)) CoUninitialize();
        if (SUCCEEDED(mta)) CoUninitialize();
    }).join();
    CHECK_EQ(text_fresh, std::string("0x0000000000001234"));
    CHECK_EQ(after_fresh, S_OK);
    CHECK_EQ(sta, S_OK);
    CHECK_EQ(after_sta, S_FALSE);
    CHECK_EQ(mta, S_OK);
    CHECK_EQ(after_mta, S_FALSE);
}

void traces_from_several_threads() {
    check::section("threads");
    const std::vector<ct::frame> frames = made_up_frames(3);
    const std::string expected = expected_trace(frames);
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < wrong.size(); ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i)
                if (ct::detail::to_string(frames.data(), frames.size()) != expected) ++wrong[t];
        });
    for (auto& thread : threads) thread.join();
    for (const int count : wrong) CHECK_EQ(count, 0);
}

} // namespace

int main() {
    const bool wine = under_wine();
    if (!wine) std::puts("(not under Wine: symbol texts are not pinned down)");
    collect_captures_this_stack();
    collect_honours_skip();
    collect_honours_max_frames();
    dump_does_nothing();
    traces_of_this_stack(wine);
    traces_of_made_up_addresses();
    com_left_as_found();
    traces_from_several_threads();
    return check::finish();
}
