#include "fake_platform.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace fake_platform {
namespace {

std::string iid_name(REFIID iid) {
    using namespace korvo::calltrail::platform;
    if (iid == iid_debug_client) return "IDebugClient";
    if (iid == iid_debug_control) return "IDebugControl";
    if (iid == iid_debug_symbols) return "IDebugSymbols";
    return "unknown interface";
}

struct counted {
    std::string name;
    long references = 1;
};

struct state_type;
state_type& state();

// Each object counts its own references and never deletes itself: the
// state owns it, so a use after the last Release is still recorded.
template <class Interface> struct fake_object : Interface {
    explicit fake_object(std::string object_name) { self.name = std::move(object_name); }
    virtual ~fake_object() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    counted self;
};

struct fake_control final : fake_object<IDebugControl> {
    using fake_object::fake_object;
    HRESULT STDMETHODCALLTYPE WaitForEvent(ULONG flags, ULONG timeout) override;
};

struct fake_symbols final : fake_object<IDebugSymbols> {
    using fake_object::fake_object;
    HRESULT STDMETHODCALLTYPE GetNameByOffset(ULONG64 offset, PSTR name_buffer, ULONG name_buffer_size,
                                              PULONG name_size, PULONG64 displacement) override;
    HRESULT STDMETHODCALLTYPE GetLineByOffset(ULONG64 offset, PULONG line, PSTR file_buffer, ULONG file_buffer_size,
                                              PULONG file_size, PULONG64 displacement) override;
};

struct fake_client final : fake_object<IDebugClient> {
    using fake_object::fake_object;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE AttachProcess(ULONG64 server, ULONG process_id, ULONG attach_flags) override;
};

struct state_type {
    script plan;
    std::vector<call> log;
    std::vector<std::unique_ptr<fake_client>> clients;
    std::vector<std::unique_ptr<fake_control>> controls;
    std::vector<std::unique_ptr<fake_symbols>> symbols;
    int over_releases = 0;
    int com_depth = 0;

    call& record(std::string what) {
        log.emplace_back();
        log.back().what = std::move(what);
        return log.back();
    }
};

state_type& state() {
    static state_type instance;
    return instance;
}

template <class Object> Object* make(std::vector<std::unique_ptr<Object>>& owner, const char* kind) {
    owner.push_back(std::make_unique<Object>(kind + std::to_string(owner.size() + 1)));
    return owner.back().get();
}

// The out-pointer as DebugCreate and QueryInterface leave it.
void hand_out(const step& answer, void** out, void* object) {
    if (out != nullptr) *out = answer.hands_object ? object : nullptr;
}

template <class Interface> HRESULT fake_object<Interface>::QueryInterface(REFIID iid, void** object) {
    call& c = state().record(self.name + ".QueryInterface(" + iid_name(iid) + ")");
    c.out_given = object != nullptr;
    c.out_was_null = object != nullptr && *object == nullptr;
    if (object != nullptr) *object = nullptr;
    return E_NOINTERFACE;
}

template <class Interface> ULONG fake_object<Interface>::AddRef() {
    state().record(self.name + ".AddRef");
    return static_cast<ULONG>(++self.references);
}

template <class Interface> ULONG fake_object<Interface>::Release() {
    state().record(self.name + ".Release");
    if (self.references == 0) {
        ++state().over_releases;
        return 0;
    }
    return static_cast<ULONG>(--self.references);
}

HRESULT fake_client::QueryInterface(REFIID iid, void** object) {
    state_type& s = state();
    call& c = s.record(self.name + ".QueryInterface(" + iid_name(iid) + ")");
    c.out_given = object != nullptr;
    c.out_was_null = object != nullptr && *object == nullptr;
    if (iid == korvo::calltrail::platform::iid_debug_control) {
        const step answer = s.plan.query_control;
        hand_out(answer, object,
                 answer.hands_object ? static_cast<IDebugControl*>(make(s.controls, "control")) : nullptr);
        return answer.result;
    }
    if (iid == korvo::calltrail::platform::iid_debug_symbols) {
        const step answer = s.plan.query_symbols;
        hand_out(answer, object,
                 answer.hands_object ? static_cast<IDebugSymbols*>(make(s.symbols, "symbols")) : nullptr);
        return answer.result;
    }
    if (object != nullptr) *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT fake_client::AttachProcess(ULONG64 server, ULONG process_id, ULONG attach_flags) {
    call& c = state().record(self.name + ".AttachProcess");
    c.server = server;
    c.process_id = process_id;
    c.flags = attach_flags;
    return state().plan.attach;
}

HRESULT fake_control::WaitForEvent(ULONG flags, ULONG timeout) {
    call& c = state().record(self.name + ".WaitForEvent");
    c.flags = flags;
    c.timeout = timeout;
    return state().plan.wait;
}

text_answer next(std::deque<text_answer>& queue) {
    if (queue.empty()) return missing();
    text_answer answer = queue.front();
    queue.pop_front();
    return answer;
}

void write_text(const text_answer& answer, PSTR buffer, ULONG size) {
    if (buffer == nullptr || size == 0) return;
    if (answer.terminate) {
        const std::size_t n = std::min<std::size_t>(answer.text.size(), size - 1);
        std::memcpy(buffer, answer.text.data(), n);
        buffer[n] = '\0';
    } else {
        std::memcpy(buffer, answer.text.data(), std::min<std::size_t>(answer.text.size(), size));
    }
}

call& record_lookup(const std::string& what, ULONG64 offset, PSTR buffer, ULONG buffer_size, PULONG size,
                    PULONG64 displacement) {
    call& c = state().record(what);
    c.offset = offset;
    c.buffer = buffer;
    c.buffer_size = buffer_size;
    if (buffer != nullptr && buffer_size != 0) c.first_char = buffer[0];
    c.size_pointer = size;
    if (size != nullptr) c.size_on_entry = *size;
    c.displacement = displacement;
    return c;
}

HRESULT fake_symbols::GetNameByOffset(ULONG64 offset, PSTR name_buffer, ULONG name_buffer_size, PULONG name_size,
                                      PULONG64 displacement) {
    record_lookup(self.name + ".GetNameByOffset", offset, name_buffer, name_buffer_size, name_size, displacement);
    const text_answer answer = next(state().plan.names);
    if (answer.throws_bad_alloc) throw std::bad_alloc();
    write_text(answer, name_buffer, name_buffer_size);
    if (name_size != nullptr) *name_size = answer.reported_size;
    return answer.result;
}

HRESULT fake_symbols::GetLineByOffset(ULONG64 offset, PULONG line, PSTR file_buffer, ULONG file_buffer_size,
                                      PULONG file_size, PULONG64 displacement) {
    call& c =
        record_lookup(self.name + ".GetLineByOffset", offset, file_buffer, file_buffer_size, file_size, displacement);
    c.line_pointer = line;
    if (line != nullptr) c.line_on_entry = *line;
    const text_answer answer = next(state().plan.lines);
    if (answer.throws_bad_alloc) throw std::bad_alloc();
    write_text(answer, file_buffer, file_buffer_size);
    if (file_size != nullptr) *file_size = answer.reported_size;
    if (line != nullptr) *line = answer.line;
    return answer.result;
}

} // namespace

text_answer found(const std::string& text, ULONG line) {
    text_answer answer;
    answer.result = S_OK;
    answer.text = text;
    answer.reported_size = static_cast<ULONG>(text.size() + 1);
    answer.line = line;
    return answer;
}

text_answer too_long(const std::string& text, ULONG line) {
    text_answer answer = found(text, line);
    answer.result = S_FALSE;
    return answer;
}

text_answer missing(HRESULT result) {
    text_answer answer;
    answer.result = result;
    return answer;
}

void reset() {
    state_type& s = state();
    s.plan = script();
    s.log.clear();
    s.clients.clear();
    s.controls.clear();
    s.symbols.clear();
    s.over_releases = 0;
    s.com_depth = 0;
}

script& scripted() { return state().plan; }

const std::vector<call>& calls() { return state().log; }

std::vector<std::string> call_names() {
    std::vector<std::string> names;
    for (const call& c : state().log) names.push_back(c.what);
    return names;
}

std::vector<call> calls_named(const std::string& what) {
    std::vector<call> found_calls;
    for (const call& c : state().log)
        if (c.what == what) found_calls.push_back(c);
    return found_calls;
}

long live_references() {
    const state_type& s = state();
    long total = 0;
    for (const auto& o : s.clients) total += o->self.references;
    for (const auto& o : s.controls) total += o->self.references;
    for (const auto& o : s.symbols) total += o->self.references;
    return total;
}

int over_releases() { return state().over_releases; }

int com_depth() { return state().com_depth; }

} // namespace fake_platform

using fake_platform::state;

USHORT NTAPI RtlCaptureStackBackTrace(ULONG frames_to_skip, ULONG frames_to_capture, PVOID* back_trace,
                                      PULONG back_trace_hash) {
    fake_platform::call& c = state().record("RtlCaptureStackBackTrace");
    c.skip = frames_to_skip;
    c.count = frames_to_capture;
    c.out = back_trace;
    c.hash = back_trace_hash;
    return state().plan.walker_count;
}

DWORD WINAPI GetCurrentProcessId() {
    state().record("GetCurrentProcessId");
    return state().plan.process_id;
}

HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD co_init) {
    fake_platform::call& c = state().record("CoInitializeEx");
    c.reserved = reserved;
    c.flags = co_init;
    const HRESULT result = state().plan.co_initialize;
    if (result == S_OK || result == S_FALSE) ++state().com_depth;
    return result;
}

void WINAPI CoUninitialize() {
    state().record("CoUninitialize");
    --state().com_depth;
}

HRESULT WINAPI DebugCreate(REFIID interface_id, PVOID* object) {
    auto& s = state();
    fake_platform::call& c = s.record("DebugCreate(" + fake_platform::iid_name(interface_id) + ")");
    c.out_given = object != nullptr;
    c.out_was_null = object != nullptr && *object == nullptr;
    const fake_platform::step answer = s.plan.debug_create;
    if (interface_id != korvo::calltrail::platform::iid_debug_client) {
        if (object != nullptr) *object = nullptr;
        return E_NOINTERFACE;
    }
    fake_platform::hand_out(answer, object,
                            answer.hands_object ? static_cast<IDebugClient*>(fake_platform::make(s.clients, "client"))
                                                : nullptr);
    return answer.result;
}
