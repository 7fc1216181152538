#include "attached_symbols.hpp"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <vector>

namespace posix_engine_test {

using korvo::calltrail::platform::iid_debug_client;
using korvo::calltrail::platform::iid_debug_control;
using korvo::calltrail::platform::iid_debug_symbols;

attached_symbols::attached_symbols() {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    uninitialize_ = com == S_OK || com == S_FALSE;
    IDebugClient* client = nullptr;
    if (DebugCreate(iid_debug_client, reinterpret_cast<void**>(&client)) != S_OK) return;
    IDebugControl* control = nullptr;
    if (client->QueryInterface(iid_debug_control, reinterpret_cast<void**>(&control)) == S_OK) {
        if (client->AttachProcess(0, GetCurrentProcessId(),
                                  DEBUG_ATTACH_NONINVASIVE | DEBUG_ATTACH_NONINVASIVE_NO_SUSPEND) == S_OK &&
            control->WaitForEvent(DEBUG_WAIT_DEFAULT, INFINITE) == S_OK)
            client->QueryInterface(iid_debug_symbols, reinterpret_cast<void**>(&symbols_));
        control->Release();
    }
    client->Release();
}

attached_symbols::~attached_symbols() {
    if (symbols_ != nullptr) symbols_->Release();
    if (uninitialize_) CoUninitialize();
}

std::string attached_symbols::name(const void* address) const {
    char buffer[256];
    ULONG needed = 0;
    HRESULT result = symbols_->GetNameByOffset(offset_of(address), buffer, sizeof buffer, &needed, nullptr);
    if (result == S_OK) return buffer;
    if (result != S_FALSE || needed == 0) return std::string();
    std::vector<char> whole(needed);
    result = symbols_->GetNameByOffset(offset_of(address), whole.data(), needed, &needed, nullptr);
    return result == S_OK ? std::string(whole.data()) : std::string();
}

std::string attached_symbols::file(const void* address, ULONG* line) const {
    char buffer[256];
    ULONG needed = 0;
    ULONG found = 0;
    if (line != nullptr) *line = 0;
    HRESULT result = symbols_->GetLineByOffset(offset_of(address), &found, buffer, sizeof buffer, &needed, nullptr);
    std::string path;
    if (result == S_OK) {
        path = buffer;
    } else if (result == S_FALSE && needed != 0) {
        std::vector<char> whole(needed);
        if (symbols_->GetLineByOffset(offset_of(address), &found, whole.data(), needed, &needed, nullptr) != S_OK)
            return std::string();
        path = whole.data();
    } else {
        return std::string();
    }
    if (line != nullptr) *line = found;
    return path;
}

ULONG attached_symbols::line(const void* address) const {
    ULONG found = 0;
    return symbols_->GetLineByOffset(offset_of(address), &found, nullptr, 0, nullptr, nullptr) == S_OK ? found : 0;
}

__attribute__((noinline)) void capture_stack(probe* p) {
    p->frame_count = RtlCaptureStackBackTrace(0, probe::most_frames, p->frames, nullptr);
    __asm__ __volatile__("" ::: "memory");
}

std::string program_name() {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return std::string();
    const std::string path(buffer, static_cast<std::size_t>(length));
    return path.substr(path.rfind('/') + 1);
}

namespace {

int c_library_note(dl_phdr_info* info, std::size_t, void* data) {
    if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "/libc.so.6") == nullptr) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) continue;
        const auto* at = reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr);
        const auto* end = at + segment.p_filesz;
        while (at + sizeof(ElfW(Nhdr)) <= end) {
            const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(at);
            const unsigned char* desc = at + sizeof *note + ((note->n_namesz + 3) & ~3u);
            if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4) {
                std::string& path = *static_cast<std::string*>(data);
                path = "/usr/lib/debug/.build-id/";
                for (unsigned k = 0; k < note->n_descsz; ++k) {
                    char hex[3];
                    std::snprintf(hex, sizeof hex, "%02x", desc[k]);
                    path += hex;
                    if (k == 0) path += '/';
                }
                path += ".debug";
                return 1;
            }
            at = desc + ((note->n_descsz + 3) & ~3u);
        }
    }
    return 0;
}

} // namespace

std::string c_library_debug_file() {
    std::string path;
    dl_iterate_phdr(c_library_note, &path);
    return path;
}

} // namespace posix_engine_test
