// Each compressed form through the decoders the engine loads on first use:
// sections read in any order give the bytes of the whole, and a damaged
// stream fails rather than giving other bytes.
#include <gtest/gtest.h>

#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "platform/posix/object/decompression.hpp"
#include "platform/posix/object/section_data.hpp"

namespace {

using korvo::calltrail::posix_engine::decode_xz;
using korvo::calltrail::posix_engine::section_data;
using bytes = std::vector<std::uint8_t>;

bytes sample(std::size_t size) {
    bytes out(size);
    std::mt19937 random(5);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<std::uint8_t>("abcdefgh"[random() % 8] + (i / 4096) % 7);
    return out;
}

bytes zlib_compressed(const bytes& in) {
    uLongf size = compressBound(in.size());
    bytes out(size);
    EXPECT_EQ(compress(out.data(), &size, in.data(), in.size()), Z_OK);
    out.resize(size);
    return out;
}

bytes zstd_compressed(const bytes& in) {
    bytes out(ZSTD_compressBound(in.size()));
    const std::size_t size = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 3);
    EXPECT_FALSE(ZSTD_isError(size));
    out.resize(size);
    return out;
}

struct codec {
    const char* name;
    std::function<bytes(const bytes&)> compress;
    std::unique_ptr<section_data> (*open)(const std::uint8_t*, std::size_t, std::size_t);
};

const codec codecs[] = {{"zlib", zlib_compressed, &section_data::zlib}, {"zstd", zstd_compressed, &section_data::zstd}};

bool same(const section_data& section, const bytes& expected, std::size_t begin, std::size_t end) {
    return std::equal(section.bytes() + begin, section.bytes() + end, expected.begin() + static_cast<long>(begin));
}

TEST(posix_engine_decompression, each_codec_reads_in_any_order_and_stops_where_its_stream_breaks) {
    const bytes plain = sample(3 << 20);
    for (const codec& c : codecs) {
        SCOPED_TRACE(c.name);
        const bytes stream = c.compress(plain);
        const std::unique_ptr<section_data> section = c.open(stream.data(), stream.size(), plain.size());
        ASSERT_NE(section, nullptr);
        std::mt19937 random(3);
        // Forward jumps, reads behind the stream and restarts, until whole.
        for (int i = 0; i < 120; ++i) {
            const std::size_t begin = random() % plain.size();
            const std::size_t end = std::min(plain.size(), begin + 1 + random() % 40000);
            ASSERT_TRUE(section->ensure(begin, end)) << begin;
            ASSERT_TRUE(same(*section, plain, begin, end)) << begin;
        }
        ASSERT_TRUE(section->ensure(0, plain.size()));
        EXPECT_TRUE(same(*section, plain, 0, plain.size()));

        const std::unique_ptr<section_data> cut = c.open(stream.data(), stream.size() / 2, plain.size());
        ASSERT_NE(cut, nullptr);
        EXPECT_TRUE(cut->ensure(0, 1000));
        EXPECT_TRUE(same(*cut, plain, 0, 1000));
        EXPECT_FALSE(cut->ensure(plain.size() - 1, plain.size()));
        const bytes garbage(4096, 0xff);
        const std::unique_ptr<section_data> corrupt = c.open(garbage.data(), garbage.size(), plain.size());
        if (corrupt != nullptr) {
            EXPECT_FALSE(corrupt->ensure(0, 1));
        }
    }
}

TEST(posix_engine_decompression, an_xz_image_is_decoded_whole_or_not_at_all) {
    const bytes plain = sample(300000);
    bytes stream(lzma_stream_buffer_bound(plain.size()));
    std::size_t size = 0;
    ASSERT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, plain.data(), plain.size(), stream.data(), &size,
                                      stream.size()),
              LZMA_OK);
    stream.resize(size);
    bytes out;
    ASSERT_TRUE(decode_xz(stream.data(), stream.size(), plain.size(), out));
    EXPECT_EQ(out, plain);
    // Over the limit, cut short, or damaged: nothing.
    EXPECT_FALSE(decode_xz(stream.data(), stream.size(), plain.size() - 1, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(decode_xz(stream.data(), stream.size() - 10, plain.size(), out));
    bytes damaged = stream;
    damaged[damaged.size() / 2] ^= 0x55;
    EXPECT_FALSE(decode_xz(damaged.data(), damaged.size(), plain.size(), out));
}

} // namespace
