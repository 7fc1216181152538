#include "platform/posix/object/decompression.hpp"

#include <dlfcn.h>
#include <sys/mman.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <new>

#include "platform/posix/object/isal_inflate.hpp"
#include "platform/posix/support/child_of_fork.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

template <class Function> bool resolve(void* library, const char* name, Function& out) {
    out = reinterpret_cast<Function>(dlsym(library, name));
    return out != nullptr;
}

struct zlib_functions {
    decltype(&::inflateInit2_) init;
    decltype(&::inflate) inflate;
    decltype(&::inflateReset) reset;
    decltype(&::inflateEnd) end;

    bool load(void* library) {
        return resolve(library, "inflateInit2_", init) && resolve(library, "inflate", inflate) &&
               resolve(library, "inflateReset", reset) && resolve(library, "inflateEnd", end);
    }
};

struct isal_functions {
    void (*init)(void* state);
    void (*reset)(void* state);
    int (*inflate)(void* state);

    bool load(void* library) {
        return resolve(library, "isal_inflate_init", init) && resolve(library, "isal_inflate_reset", reset) &&
               resolve(library, "isal_inflate", inflate);
    }
};

struct zstd_functions {
    decltype(&::ZSTD_createDStream) create;
    decltype(&::ZSTD_freeDStream) free;
    decltype(&::ZSTD_DCtx_reset) reset;
    decltype(&::ZSTD_decompressStream) decompress;
    decltype(&::ZSTD_isError) is_error;
    decltype(&::ZSTD_getErrorCode) error_code;

    bool load(void* library) {
        return resolve(library, "ZSTD_createDStream", create) && resolve(library, "ZSTD_freeDStream", free) &&
               resolve(library, "ZSTD_DCtx_reset", reset) && resolve(library, "ZSTD_decompressStream", decompress) &&
               resolve(library, "ZSTD_isError", is_error) && resolve(library, "ZSTD_getErrorCode", error_code);
    }
};

struct lzma_functions {
    decltype(&::lzma_stream_decoder) decoder;
    decltype(&::lzma_code) code;
    decltype(&::lzma_end) end;

    bool load(void* library) {
        return resolve(library, "lzma_stream_decoder", decoder) && resolve(library, "lzma_code", code) &&
               resolve(library, "lzma_end", end);
    }
};

// A library's functions, kept once it has been loaded; it is never closed,
// since decoders made from it may live as long as the process. A failure is
// not kept: dlopen may have failed for want of memory, which may pass. No
// lock is taken: threads that race each load it (the loader counts them),
// and each decoder holds its own copy of the functions.
template <class Functions> class decoder_library {
public:
    constexpr explicit decoder_library(const char* name) noexcept : name_(name) {}

    bool get(Functions& out) {
        if (state_.load(std::memory_order_acquire) == ready) {
            out = functions_;
            return true;
        }
        // Where loading could wait for ever, only one loaded already; and none
        // where the loader was busy at the fork, as it would fail anyway.
        const bool lost = loader_lock_may_be_lost();
        if (lost && loader_list_changing()) return false;
        void* library = dlopen(name_, RTLD_NOW | RTLD_LOCAL | (lost ? RTLD_NOLOAD : 0));
        Functions loaded{};
        if (library == nullptr || !loaded.load(library)) return false;
        int expected = unset;
        if (state_.compare_exchange_strong(expected, writing, std::memory_order_acq_rel)) {
            functions_ = loaded;
            state_.store(ready, std::memory_order_release);
        }
        out = loaded;
        return true;
    }

private:
    static constexpr int unset = 0;
    static constexpr int writing = 1;
    static constexpr int ready = 2;

    const char* name_;
    std::atomic<int> state_{unset};
    Functions functions_{};
};

decoder_library<zlib_functions> zlib_library("libz.so.1");
decoder_library<isal_functions> isal_library("libisal.so.2");
decoder_library<zstd_functions> zstd_library("libzstd.so.1");
decoder_library<lzma_functions> lzma_library("liblzma.so.5");

// The two bytes zlib puts before a deflate stream, checked as zlib checks
// them, so that both decoders read the raw stream behind them. The checksum
// after it is not computed: zlib compares it only once the last byte is out,
// and no lookup's answer waits for that.
class zlib_header {
public:
    enum class state { wanting, good, bad };

    // Takes what it still needs of the header from the input.
    state take(const std::uint8_t*& in, std::size_t& in_size) noexcept {
        while (state_ == state::wanting && in_size > 0) {
            bytes_[seen_++] = *in++;
            --in_size;
            if (seen_ == 2) state_ = judge(bytes_[0], bytes_[1]) ? state::good : state::bad;
        }
        return state_;
    }
    void restart() noexcept {
        state_ = state::wanting;
        seen_ = 0;
    }

private:
    // Deflate with a window of at most 32 KB, no preset dictionary.
    static bool judge(std::uint8_t method, std::uint8_t flags) noexcept {
        return (method * 256u + flags) % 31 == 0 && (method & 15) == 8 && (method >> 4) <= 7 && (flags & 0x20) == 0;
    }

    state state_ = state::wanting;
    std::uint8_t bytes_[2] = {};
    int seen_ = 0;
};

class zlib_stream final : public stream_decoder {
public:
    explicit zlib_stream(const zlib_functions& z) : z_(z) {
        const int result = z_.init(&stream_, -15, ZLIB_VERSION, static_cast<int>(sizeof stream_));
        if (result == Z_MEM_ERROR) throw std::bad_alloc();
        started_ = result == Z_OK;
    }
    ~zlib_stream() override {
        if (started_) z_.end(&stream_);
    }
    zlib_stream(const zlib_stream&) = delete;
    zlib_stream& operator=(const zlib_stream&) = delete;

    bool started() const noexcept { return started_; }

    status decode(const std::uint8_t*& in, std::size_t& in_size, std::uint8_t*& out, std::size_t& out_size) override {
        const zlib_header::state header = header_.take(in, in_size);
        if (header != zlib_header::state::good)
            return header == zlib_header::state::bad ? status::broken : status::going;
        const auto in_room = static_cast<uInt>(std::min<std::size_t>(in_size, UINT_MAX));
        const auto out_room = static_cast<uInt>(std::min<std::size_t>(out_size, UINT_MAX));
        stream_.next_in = const_cast<Bytef*>(in);
        stream_.avail_in = in_room;
        stream_.next_out = out;
        stream_.avail_out = out_room;
        const int result = z_.inflate(&stream_, Z_NO_FLUSH);
        in += in_room - stream_.avail_in;
        in_size -= in_room - stream_.avail_in;
        out += out_room - stream_.avail_out;
        out_size -= out_room - stream_.avail_out;
        switch (result) {
        case Z_OK:
        case Z_BUF_ERROR:
            return status::going;
        case Z_STREAM_END:
            return status::ended;
        case Z_MEM_ERROR:
            return status::out_of_memory;
        default:
            return status::broken;
        }
    }

    bool restart() override {
        header_.restart();
        return z_.reset(&stream_) == Z_OK;
    }

private:
    const zlib_functions z_;
    z_stream stream_{};
    zlib_header header_;
    bool started_ = false;
};

// The memory of a state let go waits here for the next stream that wants
// one: a lookup moves from stream to stream, and a fresh mapping would
// fault its pages in again beside the old ones. One is kept, handed over
// without a lock; the next owner makes it new.
std::atomic<void*> spare_isal_state{nullptr};

void* take_isal_state() noexcept {
    if (void* spare = spare_isal_state.exchange(nullptr, std::memory_order_acq_rel)) return spare;
    void* state =
        mmap(nullptr, isal_state_reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return state != MAP_FAILED ? state : nullptr;
}

void give_back_isal_state(void* state) noexcept {
    if (void* other = spare_isal_state.exchange(state, std::memory_order_acq_rel)) munmap(other, isal_state_reserve);
}

// The state, most of a hundred kilobytes once used, is taken on the first
// decode: many sections are opened and never read.
class isal_stream final : public stream_decoder {
public:
    explicit isal_stream(const isal_functions& f) : f_(f) {}
    ~isal_stream() override {
        if (state_ != nullptr) give_back_isal_state(state_);
    }
    isal_stream(const isal_stream&) = delete;
    isal_stream& operator=(const isal_stream&) = delete;

    status decode(const std::uint8_t*& in, std::size_t& in_size, std::uint8_t*& out, std::size_t& out_size) override {
        if (state_ == nullptr) {
            state_ = take_isal_state();
            if (state_ == nullptr) return status::out_of_memory;
            f_.init(state_);
        }
        const zlib_header::state header = header_.take(in, in_size);
        if (header != zlib_header::state::good)
            return header == zlib_header::state::bad ? status::broken : status::going;
        auto& head = *static_cast<isal_state_head*>(state_);
        const auto in_room = static_cast<std::uint32_t>(std::min<std::size_t>(in_size, UINT32_MAX));
        const auto out_room = static_cast<std::uint32_t>(std::min<std::size_t>(out_size, UINT32_MAX));
        head.next_in = in;
        head.avail_in = in_room;
        head.next_out = out;
        head.avail_out = out_room;
        const int result = f_.inflate(state_);
        const std::size_t taken = in_room - head.avail_in;
        const std::size_t produced = out_room - head.avail_out;
        in += taken;
        in_size -= taken;
        out += produced;
        out_size -= produced;
        if (result != isal_decomp_ok && result != isal_end_input && result != isal_out_overflow) return status::broken;
        // ISA-L tells the end of a stream by no longer moving: given input
        // and room, it neither takes nor gives anything.
        if (taken == 0 && produced == 0 && in_room != 0 && out_room != 0) return status::ended;
        return status::going;
    }

    bool restart() override {
        header_.restart();
        if (state_ != nullptr) f_.reset(state_);
        return true;
    }

    bool let_go() noexcept override {
        if (state_ != nullptr) give_back_isal_state(state_);
        state_ = nullptr;
        return true;
    }

private:
    const isal_functions f_;
    void* state_ = nullptr;
    zlib_header header_;
};

class zstd_stream final : public stream_decoder {
public:
    explicit zstd_stream(const zstd_functions& z) : z_(z), stream_(z.create()) {
        if (stream_ == nullptr) throw std::bad_alloc();
    }
    ~zstd_stream() override { z_.free(stream_); }
    zstd_stream(const zstd_stream&) = delete;
    zstd_stream& operator=(const zstd_stream&) = delete;

    // A frame's end is not the stream's: a section may hold several frames.
    status decode(const std::uint8_t*& in, std::size_t& in_size, std::uint8_t*& out, std::size_t& out_size) override {
        ZSTD_inBuffer input{in, in_size, 0};
        ZSTD_outBuffer output{out, out_size, 0};
        const std::size_t result = z_.decompress(stream_, &output, &input);
        in += input.pos;
        in_size -= input.pos;
        out += output.pos;
        out_size -= output.pos;
        if (!z_.is_error(result)) return status::going;
        return z_.error_code(result) == ZSTD_error_memory_allocation ? status::out_of_memory : status::broken;
    }

    bool restart() override { return !z_.is_error(z_.reset(stream_, ZSTD_reset_session_only)); }

private:
    const zstd_functions z_;
    ZSTD_DStream* stream_;
};

// More than xz needs for its largest dictionary.
constexpr std::uint64_t xz_memory_limit = std::uint64_t{256} << 20;

// Deflate cannot expand a stream more than 1032 times (zstd can, by far).
// Debug sections compress much less: 3 to 35 times among the system's debug
// files, 83 for a small abbreviation table repeated for every unit. A size
// declared beyond what is plausible is cut there, so that a small stream can
// make a lookup neither inflate nor hold gigabytes.
constexpr std::size_t deflate_expansion = 1032;
constexpr std::size_t plausible_expansion = 32;
constexpr std::size_t always_plausible = std::size_t{16} << 20;

} // namespace

std::size_t plausible_inflated_size(std::size_t stream_size, bool deflate) noexcept {
    if (stream_size > SIZE_MAX / deflate_expansion) return SIZE_MAX;
    const std::size_t plausible = std::max(always_plausible, plausible_expansion * stream_size);
    return deflate ? std::min(deflate_expansion * stream_size + 64, plausible) : plausible;
}

std::unique_ptr<stream_decoder> zlib_decoder(deflate_decoder which) {
    if (which != deflate_decoder::zlib) {
        isal_functions f{};
        if (isal_library.get(f)) return std::make_unique<isal_stream>(f);
        if (which == deflate_decoder::isal) return nullptr;
    }
    zlib_functions z{};
    if (!zlib_library.get(z)) return nullptr;
    auto decoder = std::make_unique<zlib_stream>(z);
    if (!decoder->started()) return nullptr;
    return decoder;
}

std::unique_ptr<stream_decoder> zstd_decoder() {
    zstd_functions z{};
    if (!zstd_library.get(z)) return nullptr;
    return std::make_unique<zstd_stream>(z);
}

bool decode_xz(const std::uint8_t* input, std::size_t size, std::size_t limit, std::vector<std::uint8_t>& out) {
    lzma_functions x{};
    out.clear();
    if (!lzma_library.get(x)) return false;
    lzma_stream stream = LZMA_STREAM_INIT;
    const lzma_ret started = x.decoder(&stream, xz_memory_limit, 0);
    if (started == LZMA_MEM_ERROR) throw std::bad_alloc();
    if (started != LZMA_OK) return false;
    // Ended however decoding ends, a throw included.
    const std::unique_ptr<lzma_stream, decltype(x.end)> ending(&stream, x.end);
    stream.next_in = input;
    stream.avail_in = size;
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK) {
        if (stream.avail_out == 0) {
            const std::size_t used = out.size();
            if (used >= limit) break;
            out.resize(std::min(limit, std::max(used * 2, std::size_t{64} * 1024)));
            stream.next_out = out.data() + used;
            stream.avail_out = out.size() - used;
        }
        result = x.code(&stream, LZMA_FINISH);
    }
    if (result == LZMA_MEM_ERROR) throw std::bad_alloc();
    if (result != LZMA_STREAM_END) {
        out.clear();
        return false;
    }
    out.resize(static_cast<std::size_t>(stream.total_out));
    return true;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
