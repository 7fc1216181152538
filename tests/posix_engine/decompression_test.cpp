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

#if __has_include(<isa-l/igzip_lib.h>)
#include <isa-l/igzip_lib.h>

#include <cstddef>
#endif

#include "platform/posix/object/decompression.hpp"
#include "platform/posix/object/isal_inflate.hpp"
#include "platform/posix/object/section_data.hpp"

namespace {

using korvo::calltrail::posix_engine::decode_xz;
using korvo::calltrail::posix_engine::deflate_decoder;
using korvo::calltrail::posix_engine::section_data;
using korvo::calltrail::posix_engine::stream_decoder;
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

// Everything a decoder gives for a stream fed in pieces of random sizes into
// output room of random sizes, restarted once midway, and how it ended.
struct decoded {
    bytes out;
    stream_decoder::status last = stream_decoder::status::going;
};

decoded decode_in_pieces(stream_decoder& decoder, const bytes& stream, std::size_t most, std::mt19937& random) {
    decoded d;
    for (int pass = 0; pass < 2; ++pass) {
        d.out.clear();
        EXPECT_TRUE(decoder.restart());
        const std::uint8_t* in = stream.data();
        std::size_t left = 0;
        std::size_t fed = 0;
        // Each round moves the stream on or ends it: more rounds than bytes
        // means a decoder that stopped moving without saying so.
        for (std::size_t rounds = 0; rounds < 4 * (stream.size() + most) + 16; ++rounds) {
            if (left == 0 && fed < stream.size()) {
                left = std::min<std::size_t>(stream.size() - fed, 1 + random() % 5000);
                fed += left;
            }
            std::uint8_t room[3000];
            std::size_t room_size = std::min<std::size_t>(1 + random() % sizeof room, most - d.out.size());
            std::uint8_t* out = room;
            const std::size_t before = room_size;
            d.last = decoder.decode(in, left, out, room_size);
            d.out.insert(d.out.end(), room, room + (before - room_size));
            if (d.last != stream_decoder::status::going || d.out.size() == most) break;
            if (left == 0 && fed == stream.size() && before == room_size) break;
            // Half the first pass is thrown away: the second starts over.
            if (pass == 0 && d.out.size() > most / 2) break;
        }
    }
    return d;
}

#if __has_include(<isa-l/igzip_lib.h>)
// The engine declares what it uses of ISA-L itself; here is the header.
namespace isal = korvo::calltrail::posix_engine;
static_assert(sizeof(inflate_state) <= isal::isal_state_reserve / 2, "the state outgrew the reserve");
static_assert(offsetof(inflate_state, next_out) == offsetof(isal::isal_state_head, next_out), "");
static_assert(offsetof(inflate_state, avail_out) == offsetof(isal::isal_state_head, avail_out), "");
static_assert(offsetof(inflate_state, next_in) == offsetof(isal::isal_state_head, next_in), "");
static_assert(offsetof(inflate_state, avail_in) == offsetof(isal::isal_state_head, avail_in), "");
static_assert(ISAL_DECOMP_OK == isal::isal_decomp_ok && ISAL_END_INPUT == isal::isal_end_input &&
                  ISAL_OUT_OVERFLOW == isal::isal_out_overflow,
              "");
#endif

// ISA-L is what inflates zlib sections where it is installed; zlib where not.
// Both must give the same bytes for the same stream however it is cut, and
// where a damaged stream makes them part ways (one checks what the other lets
// pass), the shorter of the two must be the start of the longer.
TEST(posix_engine_decompression, isal_and_zlib_agree_on_whole_and_damaged_streams) {
    if (korvo::calltrail::posix_engine::zlib_decoder(deflate_decoder::isal) == nullptr)
        GTEST_SKIP() << "libisal.so.2 is not installed";
    std::mt19937 random(11);
    const bytes plain = sample(200000);
    const bytes stream = zlib_compressed(plain);
    std::vector<bytes> inputs{stream};
    for (int i = 0; i < 40; ++i) {
        bytes damaged = stream;
        const int flips = 1 + static_cast<int>(random() % 3);
        for (int f = 0; f < flips; ++f)
            damaged[random() % damaged.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        inputs.push_back(damaged);
    }
    // Cut short, a header alone, a wrong header, one made of garbage.
    inputs.push_back(bytes(stream.begin(), stream.begin() + static_cast<long>(stream.size() / 3)));
    inputs.push_back(bytes(stream.begin(), stream.begin() + 2));
    inputs.push_back(bytes{0x78, 0x9d, 0x01, 0x02});
    inputs.push_back(bytes(5000, 0xff));
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(i);
        const auto isal = korvo::calltrail::posix_engine::zlib_decoder(deflate_decoder::isal);
        const auto zlib = korvo::calltrail::posix_engine::zlib_decoder(deflate_decoder::zlib);
        ASSERT_NE(isal, nullptr);
        ASSERT_NE(zlib, nullptr);
        const decoded a = decode_in_pieces(*isal, inputs[i], plain.size() + 100, random);
        const decoded b = decode_in_pieces(*zlib, inputs[i], plain.size() + 100, random);
        const std::size_t common = std::min(a.out.size(), b.out.size());
        EXPECT_TRUE(std::equal(a.out.begin(), a.out.begin() + static_cast<long>(common), b.out.begin()));
        if (i == 0) {
            EXPECT_EQ(a.out, plain);
            EXPECT_EQ(b.out, plain);
            // ISA-L says nothing of the end while it has no input left to
            // refuse: the reader learns it from a stream that stops giving.
            EXPECT_EQ(b.last, stream_decoder::status::ended);
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
