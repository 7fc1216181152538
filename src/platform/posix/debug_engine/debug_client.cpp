// DebugCreate and the one object behind IDebugClient, IDebugControl and
// IDebugSymbols, as the Debug Engine hands them out: one reference count for
// all three, so that the symbols interface keeps working after the client
// and control references are released.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <new>
#include <string_view>

#include "platform/platform.hpp"
#include "platform/posix/debug_engine/buffer_text.hpp"
#include "platform/posix/debug_engine/lookup_failure.hpp"
#include "platform/posix/debug_engine/object_registry.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

constexpr ULONG allowed_attach_flags = DEBUG_ATTACH_NONINVASIVE | DEBUG_ATTACH_NONINVASIVE_NO_SUSPEND;

class debug_client final : public IDebugClient, public IDebugControl, public IDebugSymbols {
public:
    debug_client() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (!interface_of(iid, object)) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    // The interface asked for, or null and false.
    bool interface_of(REFIID iid, void** object) noexcept {
        // The symbols interface is what the engine asks for most.
        if (iid == platform::iid_debug_symbols) {
            *object = static_cast<IDebugSymbols*>(this);
        } else if (iid == IID_IUnknown || iid == platform::iid_debug_client) {
            *object = static_cast<IDebugClient*>(this);
        } else if (iid == platform::iid_debug_control) {
            *object = static_cast<IDebugControl*>(this);
        } else {
            *object = nullptr;
            return false;
        }
        return true;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) recycle(this);
        return left;
    }

    // A client made on a thread whose last client was let go is that one
    // again: every exported call makes one, and most threads make many.
    static debug_client* make() noexcept {
        spare_client& spare = this_thread_spare;
        if (spare.client != nullptr) return spare.client.release();
        return new (std::nothrow) debug_client();
    }

    HRESULT STDMETHODCALLTYPE AttachProcess(ULONG64 server, ULONG process_id, ULONG attach_flags) override {
        if (server != 0) return E_INVALIDARG;
        // Only a non-invasive attach to this very process can be honoured: a
        // process cannot debug itself, and other processes are not ours.
        if ((attach_flags & DEBUG_ATTACH_NONINVASIVE) == 0 || (attach_flags & ~allowed_attach_flags) != 0)
            return E_INVALIDARG;
        // The kept id is asked first; the system only when they differ, so that
        // a process made without fork handlers is not refused for itself.
        if (process_id != GetCurrentProcessId() && process_id != static_cast<ULONG>(getpid())) return E_NOTIMPL;
        return advance(attach_state::detached, attach_state::pending) ? S_OK : E_UNEXPECTED;
    }

    HRESULT STDMETHODCALLTYPE WaitForEvent(ULONG flags, ULONG) override {
        if (flags != DEBUG_WAIT_DEFAULT) return E_INVALIDARG;
        // A non-invasive attach has one event, its own completion.
        if (!advance(attach_state::pending, attach_state::completing)) return E_UNEXPECTED;
        try {
            modules_ = object_registry::attach();
            owner_ = pthread_self();
        } catch (...) {
            state_.store(attach_state::pending, std::memory_order_release);
            return failure_of_current_exception();
        }
        state_.store(attach_state::attached, std::memory_order_release);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetNameByOffset(ULONG64 offset, PSTR name_buffer, ULONG name_buffer_size,
                                              PULONG name_size, PULONG64 displacement) override {
        if (displacement != nullptr) *displacement = 0;
        if (!attached()) return nothing_out(E_UNEXPECTED, name_buffer, name_buffer_size, name_size);
        try {
            known_place scratch;
            known_place& known = place_of(offset, scratch);
            loaded_module* module = known.found.module;
            if (module == nullptr) return nothing_out(E_FAIL, name_buffer, name_buffer_size, name_size);
            const std::string_view module_name = module->name();
            if (known.function_asked == asked::not_yet) {
                function_answer function;
                const bool found = module->function_at(known.found.place, function);
                known.function = function;
                known.function_asked = found ? asked::found : asked::nothing;
            }
            if (known.function_asked == asked::found) {
                const function_answer& function = known.function;
                if (displacement != nullptr) *displacement = offset - function.start;
                return copy_out({module_name, "!", function.name}, name_buffer, name_buffer_size, name_size);
            }
            const module_description& d = module->description();
            if (displacement != nullptr) *displacement = offset - (d.bias + d.first_load);
            return copy_out({module_name}, name_buffer, name_buffer_size, name_size);
        } catch (...) {
            return nothing_out(failure_of_current_exception(), name_buffer, name_buffer_size, name_size);
        }
    }

    HRESULT STDMETHODCALLTYPE GetLineByOffset(ULONG64 offset, PULONG line, PSTR file_buffer, ULONG file_buffer_size,
                                              PULONG file_size, PULONG64 displacement) override {
        if (displacement != nullptr) *displacement = 0;
        if (!attached()) return nothing_out(E_UNEXPECTED, file_buffer, file_buffer_size, file_size);
        try {
            known_place scratch;
            known_place& known = place_of(offset, scratch);
            if (known.found.module == nullptr) return nothing_out(E_FAIL, file_buffer, file_buffer_size, file_size);
            if (known.line_asked == asked::not_yet) {
                source_location location;
                const bool found = known.found.module->line_at(known.found.place, location);
                known.location = location;
                known.line_asked = found ? asked::found : asked::nothing;
            }
            if (known.line_asked == asked::nothing)
                return nothing_out(E_FAIL, file_buffer, file_buffer_size, file_size);
            const source_location& location = known.location;
            if (line != nullptr) *line = location.line;
            return copy_out({*location.path}, file_buffer, file_buffer_size, file_size);
        } catch (...) {
            return nothing_out(failure_of_current_exception(), file_buffer, file_buffer_size, file_size);
        }
    }

private:
    enum class attach_state { detached, pending, completing, attached };

    struct deleter {
        void operator()(debug_client* client) const noexcept { delete client; }
    };
    struct spare_client {
        std::unique_ptr<debug_client, deleter> client;
    };
    static thread_local spare_client this_thread_spare;

    ~debug_client() = default;

    // Back to how DebugCreate hands a client out, holding no table, and kept
    // as this thread's spare if it has none. What it last found stays, known
    // by the table it was found in.
    static void recycle(debug_client* client) noexcept {
        client->modules_.reset();
        client->state_.store(attach_state::detached, std::memory_order_relaxed);
        client->references_.store(1, std::memory_order_relaxed);
        spare_client& spare = this_thread_spare;
        if (spare.client == nullptr)
            spare.client.reset(client);
        else
            delete client;
    }

    // Only one caller moves the state on; the others are told it moved.
    bool advance(attach_state from, attach_state to) noexcept {
        return state_.compare_exchange_strong(from, to, std::memory_order_acq_rel, std::memory_order_acquire);
    }

    bool attached() const noexcept { return state_.load(std::memory_order_acquire) == attach_state::attached; }

    // A return address just past an object's last call lies outside it.
    loaded_module* module_at(ULONG64 offset) const noexcept {
        loaded_module* module = modules_->find(offset);
        if (module == nullptr && offset != 0) module = modules_->find(offset - 1);
        return module;
    }

    struct found_place {
        loaded_module* module = nullptr;
        code_place place;
    };

    // The engine asks for the name of an address and then for its line, and
    // a frame's members ask again, each through a client of its own (the
    // thread's spare): an address's module and function are searched for
    // once, and its name and line read once. What was found points into the
    // table it was found in (a module's names and lines live as long as the
    // module), and is used only while this client holds that very table,
    // however the loader changed since. It is kept for the thread that
    // attached, which is the only one the engine uses a client on: another
    // thread sharing the client searches afresh into `scratch`, neither
    // waiting nor seeing a half-written place, and the owner pays for no
    // atomic instruction.
    struct known_place;
    known_place& place_of(ULONG64 offset, known_place& scratch) {
        if (pthread_equal(owner_, pthread_self()) == 0) {
            scratch.found = search(offset);
            return scratch;
        }
        known_place& known = known_[(offset ^ offset >> 6 ^ offset >> 12) % known_places];
        const std::uint64_t table = modules_->id();
        if (known.table == table && known.offset == offset) return known;
        known.table = 0;
        known.found = search(offset);
        known.function_asked = asked::not_yet;
        known.line_asked = asked::not_yet;
        known.offset = offset;
        known.table = table;
        return known;
    }

    found_place search(ULONG64 offset) const {
        found_place found;
        found.module = module_at(offset);
        if (found.module != nullptr) found.place = found.module->place_of(offset);
        return found;
    }

    std::atomic<ULONG> references_{1};
    std::atomic<attach_state> state_{attach_state::detached};
    // Set once, when the attach completes; read only once attached.
    std::shared_ptr<const module_table> modules_;
    // Set with modules_.
    pthread_t owner_{};
    // Places found lately, by address: a thread renders the same frames over
    // and over (a trace per log line from the same code). Each holds the id
    // of the table it was found in; 0 for none.
    enum class asked : unsigned char { not_yet, found, nothing };
    struct known_place {
        std::uint64_t table = 0;
        ULONG64 offset = 0;
        found_place found;
        asked function_asked = asked::not_yet;
        asked line_asked = asked::not_yet;
        function_answer function;
        source_location location;
    };
    static constexpr std::size_t known_places = 64;
    known_place known_[known_places];
};

thread_local debug_client::spare_client debug_client::this_thread_spare;

} // namespace

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

HRESULT WINAPI DebugCreate(REFIID interface_id, PVOID* object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    auto* client = korvo::calltrail::posix_engine::debug_client::make();
    if (client == nullptr) return E_OUTOFMEMORY;
    // The new client's one reference is the caller's: a pair of locked
    // updates less on every exported call.
    if (client->interface_of(interface_id, object)) return S_OK;
    client->Release();
    return E_NOINTERFACE;
}
