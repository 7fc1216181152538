#include "platform/posix/object/decompression.hpp"

#include <dlfcn.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <optional>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Loaded once and never closed: decoders made from it may live as long as
// the process.
void* open_library(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

template <class Function> bool resolve(void* library, const char* name, Function& out) {
    out = reinterpret_cast<Function>(dlsym(library, name));
    return out != nullptr;
}

struct zlib_functions {
    decltype(&::inflateInit_) init;
    decltype(&::inflate) inflate;
    decltype(&::inflateReset) reset;
    decltype(&::inflateEnd) end;
};

struct zstd_functions {
    decltype(&::ZSTD_createDStream) create;
    decltype(&::ZSTD_freeDStream) free;
    decltype(&::ZSTD_DCtx_reset) reset;
    decltype(&::ZSTD_decompressStream) decompress;
    decltype(&::ZSTD_isError) is_error;
};

struct lzma_functions {
    decltype(&::lzma_stream_decoder) decoder;
    decltype(&::lzma_code) code;
    decltype(&::lzma_end) end;
};

const zlib_functions* zlib_library() {
    static const std::optional<zlib_functions> loaded = []() -> std::optional<zlib_functions> {
        void* library = open_library("libz.so.1");
        zlib_functions f{};
        if (library == nullptr || !resolve(library, "inflateInit_", f.init) ||
            !resolve(library, "inflate", f.inflate) || !resolve(library, "inflateReset", f.reset) ||
            !resolve(library, "inflateEnd", f.end))
            return std::nullopt;
        return f;
    }();
    return loaded ? &*loaded : nullptr;
}

const zstd_functions* zstd_library() {
    static const std::optional<zstd_functions> loaded = []() -> std::optional<zstd_functions> {
        void* library = open_library("libzstd.so.1");
        zstd_functions f{};
        if (library == nullptr || !resolve(library, "ZSTD_createDStream", f.create) ||
            !resolve(library, "ZSTD_freeDStream", f.free) || !resolve(library, "ZSTD_DCtx_reset", f.reset) ||
            !resolve(library, "ZSTD_decompressStream", f.decompress) || !resolve(library, "ZSTD_isError", f.is_error))
            return std::nullopt;
        return f;
    }();
    return loaded ? &*loaded : nullptr;
}

const lzma_functions* lzma_library() {
    static const std::optional<lzma_functions> loaded = []() -> std::optional<lzma_functions> {
        void* library = open_library("liblzma.so.5");
        lzma_functions f{};
        if (library == nullptr || !resolve(library, "lzma_stream_decoder", f.decoder) ||
            !resolve(library, "lzma_code", f.code) || !resolve(library, "lzma_end", f.end))
            return std::nullopt;
        return f;
    }();
    return loaded ? &*loaded : nullptr;
}

class zlib_decoder final : public stream_decoder {
public:
    zlib_decoder(const zlib_functions& z, const std::uint8_t* input, std::size_t size)
        : z_(z), input_(input), size_(size) {}
    ~zlib_decoder() override {
        if (started_) z_.end(&stream_);
    }
    zlib_decoder(const zlib_decoder&) = delete;
    zlib_decoder& operator=(const zlib_decoder&) = delete;

    bool start() {
        rewind();
        started_ = z_.init(&stream_, ZLIB_VERSION, static_cast<int>(sizeof stream_)) == Z_OK;
        return started_;
    }

    bool read(std::uint8_t* out, std::size_t count) override {
        while (count > 0) {
            const std::size_t room = std::min<std::size_t>(count, UINT_MAX);
            stream_.next_out = out;
            stream_.avail_out = static_cast<uInt>(room);
            const int result = z_.inflate(&stream_, Z_NO_FLUSH);
            const std::size_t produced = room - stream_.avail_out;
            out += produced;
            count -= produced;
            if (count > 0 && (result != Z_OK || produced == 0)) return false;
        }
        return true;
    }

    bool restart() override {
        if (z_.reset(&stream_) != Z_OK) return false;
        rewind();
        return true;
    }

private:
    void rewind() {
        stream_.next_in = const_cast<Bytef*>(input_);
        stream_.avail_in = static_cast<uInt>(size_);
    }

    const zlib_functions& z_;
    const std::uint8_t* input_;
    std::size_t size_;
    z_stream stream_{};
    bool started_ = false;
};

class zstd_decoder final : public stream_decoder {
public:
    zstd_decoder(const zstd_functions& z, const std::uint8_t* input, std::size_t size)
        : z_(z), stream_(z.create()), input_{input, size, 0} {}
    ~zstd_decoder() override {
        if (stream_ != nullptr) z_.free(stream_);
    }
    zstd_decoder(const zstd_decoder&) = delete;
    zstd_decoder& operator=(const zstd_decoder&) = delete;

    bool started() const noexcept { return stream_ != nullptr; }

    bool read(std::uint8_t* out, std::size_t count) override {
        ZSTD_outBuffer output{out, count, 0};
        while (output.pos < output.size) {
            const std::size_t read_before = input_.pos;
            const std::size_t written_before = output.pos;
            if (z_.is_error(z_.decompress(stream_, &output, &input_))) return false;
            // Neither input taken nor output given: the stream has ended.
            if (input_.pos == read_before && output.pos == written_before) return false;
        }
        return true;
    }

    bool restart() override {
        if (z_.is_error(z_.reset(stream_, ZSTD_reset_session_only))) return false;
        input_.pos = 0;
        return true;
    }

private:
    const zstd_functions& z_;
    ZSTD_DStream* stream_;
    ZSTD_inBuffer input_;
};

// More than xz needs for its largest dictionary.
constexpr std::uint64_t xz_memory_limit = std::uint64_t{256} << 20;

} // namespace

std::unique_ptr<stream_decoder> zlib_stream(const std::uint8_t* input, std::size_t size) {
    const zlib_functions* z = zlib_library();
    if (z == nullptr || size > UINT_MAX) return nullptr;
    auto decoder = std::make_unique<zlib_decoder>(*z, input, size);
    if (!decoder->start()) return nullptr;
    return decoder;
}

std::unique_ptr<stream_decoder> zstd_stream(const std::uint8_t* input, std::size_t size) {
    const zstd_functions* z = zstd_library();
    if (z == nullptr) return nullptr;
    auto decoder = std::make_unique<zstd_decoder>(*z, input, size);
    if (!decoder->started()) return nullptr;
    return decoder;
}

bool decode_xz(const std::uint8_t* input, std::size_t size, std::size_t limit, std::vector<std::uint8_t>& out) {
    const lzma_functions* x = lzma_library();
    out.clear();
    if (x == nullptr) return false;
    lzma_stream stream = LZMA_STREAM_INIT;
    if (x->decoder(&stream, xz_memory_limit, 0) != LZMA_OK) return false;
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
        result = x->code(&stream, LZMA_FINISH);
    }
    x->end(&stream);
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
