// Compressed debug sections are inflated only where they are read; whatever
// the order of the reads, the bytes must be those of the whole section.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <random>
#include <vector>

#include "platform/posix/object/decompression.hpp"
#include "platform/posix/object/file_source.hpp"
#include "platform/posix/object/section_data.hpp"
#include "platform/posix/support/work_counts.hpp"

namespace {

using korvo::calltrail::posix_engine::counted_work;
using korvo::calltrail::posix_engine::deflate_decoder;
using korvo::calltrail::posix_engine::file_source;
using korvo::calltrail::posix_engine::section_data;
using korvo::calltrail::posix_engine::unique_fd;

// Text-like bytes that compress as debug information does.
std::vector<std::uint8_t> sample(std::size_t size, unsigned seed = 7) {
    std::vector<std::uint8_t> bytes(size);
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>("abcdefgh"[random() % 8] + (i / 4096) % 7);
    return bytes;
}

std::vector<std::uint8_t> compressed(const std::vector<std::uint8_t>& bytes) {
    uLongf size = compressBound(bytes.size());
    std::vector<std::uint8_t> out(size);
    EXPECT_EQ(compress(out.data(), &size, bytes.data(), bytes.size()), Z_OK);
    out.resize(size);
    return out;
}

bool same_range(const section_data& section, const std::vector<std::uint8_t>& bytes, std::size_t begin,
                std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
        if (section.bytes()[i] != bytes[i]) return false;
    return true;
}

// Each compressed section both as the engine reads it and read in order.
std::unique_ptr<section_data> inflated(const std::vector<std::uint8_t>& stream, std::size_t stream_size,
                                       std::size_t size, bool in_order) {
    std::unique_ptr<section_data> section = section_data::zlib(stream.data(), stream_size, size);
    if (section != nullptr && in_order) {
        section->read_in_order();
        section->read_ahead();
    }
    return section;
}

// The stream also as stored in a file, fed to the decoder a piece at a time,
// which lets its input, and near its start its memory, go between reads.
TEST(posix_engine_sections, reads_in_any_order_see_the_bytes_of_the_whole_section) {
    const std::vector<std::uint8_t> bytes = sample(3 << 20);
    const std::vector<std::uint8_t> stream = compressed(bytes);
    char path[] = "/tmp/calltrail_section_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    // The stream, and after it the bytes as a plain section.
    const bool written = write(fd, stream.data(), stream.size()) == static_cast<ssize_t>(stream.size()) &&
                         write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    struct stat status {};
    fstat(fd, &status);
    const auto file = std::make_shared<file_source>(path, unique_fd(fd), status);
    unlink(path);
    ASSERT_TRUE(written);
    for (const int way : {0, 1, 2, 3, 4}) {
        const bool in_order = way == 1;
        const char* const ways[] = {"read where asked", "read in order", "read from a file", "plain, where asked",
                                    "plain, in bulk by a thread"};
        SCOPED_TRACE(ways[way]);
        std::unique_ptr<section_data> section =
            way == 2   ? section_data::zlib(section_data::from_file(file, 0, stream.size()), 0, bytes.size())
            : way >= 3 ? section_data::from_file(file, stream.size(), bytes.size())
                       : section_data::zlib(stream.data(), stream.size(), bytes.size());
        ASSERT_NE(section, nullptr);
        if (way == 1 || way == 4) section->read_in_order();
        std::mt19937 random(11);
        // A read at the start, forward jumps, reads behind the stream, reads
        // across earlier ranges, and enough of them to make the section go whole.
        for (int i = 0; i < 200; ++i) {
            const std::size_t begin = i == 0 ? 0 : random() % bytes.size();
            const std::size_t end = i == 0 ? 10 : std::min(bytes.size(), begin + 1 + random() % 40000);
            ASSERT_TRUE(section->ensure(begin, end)) << begin;
            ASSERT_TRUE(same_range(*section, bytes, begin, end)) << begin << " " << end;
            // A thread goes on from what the first read left.
            if (i == 0 && (way == 1 || way == 4)) section->read_ahead();
            // Read in order, what is before a read is readable with it.
            if (in_order) {
                ASSERT_TRUE(same_range(*section, bytes, 0, end)) << end;
            }
        }
        // What was once readable stays so, unchanged.
        ASSERT_TRUE(section->ensure(0, bytes.size()));
        EXPECT_TRUE(same_range(*section, bytes, 0, bytes.size()));
    }
    // A file that changed before a thread could read it gives nothing, to
    // the thread or to the reads after it.
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(stream.size())), 0);
    std::unique_ptr<section_data> changed = section_data::from_file(file, stream.size(), bytes.size());
    changed->read_in_order();
    changed->read_ahead();
    EXPECT_FALSE(changed->ensure(0, 10));
    EXPECT_FALSE(changed->ensure(bytes.size() - 10, bytes.size()));
}

// Sections small enough to be inflated by the reader, and large enough to be
// inflated ahead of it, read in order, by a thread of their own.
TEST(posix_engine_sections, a_read_beyond_the_section_or_its_stream_fails) {
    for (const std::size_t size : {std::size_t{400000}, std::size_t{3} << 20}) {
        const std::vector<std::uint8_t> bytes = sample(size);
        std::vector<std::uint8_t> stream = compressed(bytes);
        for (const bool in_order : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (in_order ? " read in order" : " read where asked"));
            {
                std::unique_ptr<section_data> section = inflated(stream, stream.size(), bytes.size(), in_order);
                ASSERT_NE(section, nullptr);
                EXPECT_FALSE(section->ensure(bytes.size() - 10, bytes.size() + 1));
                EXPECT_TRUE(section->ensure(bytes.size() - 10, bytes.size()));
                EXPECT_TRUE(same_range(*section, bytes, bytes.size() - 10, bytes.size()));
            }
            {
                // A stream that promises more than it holds.
                std::unique_ptr<section_data> section = inflated(stream, stream.size(), bytes.size() + 5000, in_order);
                ASSERT_NE(section, nullptr);
                EXPECT_TRUE(section->ensure(0, 100));
                EXPECT_FALSE(section->ensure(bytes.size(), bytes.size() + 1));
            }
            {
                // A stream cut short, and one that is not a zlib stream at all.
                std::unique_ptr<section_data> cut = inflated(stream, stream.size() / 2, bytes.size(), in_order);
                ASSERT_NE(cut, nullptr);
                EXPECT_TRUE(cut->ensure(0, 1000));
                EXPECT_TRUE(same_range(*cut, bytes, 0, 1000));
                EXPECT_FALSE(cut->ensure(bytes.size() - 1, bytes.size()));
                // Once broken, nothing more is inflated, not even from the start.
                EXPECT_FALSE(cut->ensure(size / 2, size / 2 + 1));
                const std::vector<std::uint8_t> garbage(4096, 0xff);
                std::unique_ptr<section_data> corrupt = inflated(garbage, garbage.size(), bytes.size(), in_order);
                if (corrupt != nullptr) {
                    EXPECT_FALSE(corrupt->ensure(0, 1));
                }
            }
            // Let go while it may still be inflating.
            std::unique_ptr<section_data> left = inflated(stream, stream.size(), bytes.size(), in_order);
            ASSERT_NE(left, nullptr);
            EXPECT_TRUE(left->ensure(0, 10));
        }
    }
}

// As a lookup moves from stream to stream, each letting its decoder go when
// done: each reads its own bytes, whatever decoder memory it is handed next.
TEST(posix_engine_sections, streams_that_let_their_decoders_go_in_turn_read_their_own_bytes) {
    constexpr int streams = 3;
    std::vector<std::uint8_t> bytes[streams];
    std::vector<std::uint8_t> stored[streams];
    std::unique_ptr<section_data> sections[streams];
    for (int s = 0; s < streams; ++s) {
        bytes[s] = sample(std::size_t{600} << 10, 20 + s);
        stored[s] = compressed(bytes[s]);
        sections[s] = section_data::zlib(stored[s].data(), stored[s].size(), bytes[s].size());
        ASSERT_NE(sections[s], nullptr);
    }
    std::mt19937 random(5);
    for (int i = 0; i < 90; ++i) {
        const int s = static_cast<int>(random() % streams);
        const std::size_t begin = random() % bytes[s].size();
        const std::size_t end = std::min(bytes[s].size(), begin + 1 + random() % 20000);
        ASSERT_TRUE(sections[s]->ensure(begin, end)) << s << " " << begin;
        ASSERT_TRUE(same_range(*sections[s], bytes[s], begin, end)) << s << " " << begin;
        if (i % 2 == 0) sections[s]->let_go_of_decoder();
    }
}

// Far from its start, a stream keeps its decoder between reads unless told
// it may go; once gone, the next read starts the stream again.
TEST(posix_engine_sections, a_stream_far_along_starts_again_only_once_its_decoder_was_let_go) {
    // Only ISA-L's decoder gives its memory back.
    if (korvo::calltrail::posix_engine::zlib_decoder(deflate_decoder::isal) == nullptr)
        GTEST_SKIP() << "libisal.so.2 is not installed";
    const std::vector<std::uint8_t> bytes = sample(std::size_t{1} << 20);
    const std::vector<std::uint8_t> stream = compressed(bytes);
    for (const bool let_go : {false, true}) {
        SCOPED_TRACE(let_go ? "let go" : "kept");
        std::unique_ptr<section_data> section = section_data::zlib(stream.data(), stream.size(), bytes.size());
        ASSERT_NE(section, nullptr);
        ASSERT_TRUE(section->ensure(400000, 400010));
        if (let_go) section->let_go_of_decoder();
        const std::uint64_t before = counted_work.bytes_inflated.load();
        ASSERT_TRUE(section->ensure(600000, 600010));
        EXPECT_TRUE(same_range(*section, bytes, 600000, 600010));
        const std::uint64_t inflated = counted_work.bytes_inflated.load() - before;
        if (let_go) {
            EXPECT_GE(inflated, 600000u);
        } else {
            EXPECT_LT(inflated, 300000u);
        }
    }
}

// A section read whole at once from a file gives back what its readers are
// done with, and reads it again when asked, unless it is too small to be
// held apart from the heap.
TEST(posix_engine_sections, a_small_section_of_a_file_gives_back_what_readers_are_done_with) {
    const std::vector<std::uint8_t> bytes = sample(std::size_t{60} << 10, 3);
    char path[] = "/tmp/calltrail_section_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    struct stat status {};
    fstat(fd, &status);
    const auto file = std::make_shared<file_source>(path, unique_fd(fd), status);
    unlink(path);
    ASSERT_TRUE(written);
    const struct {
        std::size_t size;
        bool given_back;
    } cases[] = {{std::size_t{60} << 10, true}, {std::size_t{24} << 10, true}, {std::size_t{12} << 10, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::unique_ptr<section_data> section = section_data::from_file(file, 0, c.size);
        std::uint64_t before = counted_work.bytes_read.load();
        ASSERT_TRUE(section->ensure(10, 20));
        // Read whole at once.
        EXPECT_EQ(counted_work.bytes_read.load() - before, c.size);
        EXPECT_TRUE(same_range(*section, bytes, 0, c.size));
        section->release(0, c.size);
        before = counted_work.bytes_read.load();
        ASSERT_TRUE(section->ensure(c.size - 20, c.size));
        EXPECT_TRUE(same_range(*section, bytes, c.size - 20, c.size));
        EXPECT_EQ(counted_work.bytes_read.load() != before, c.given_back);
    }
}

TEST(posix_engine_sections, plain_sections_are_read_where_they_are) {
    const std::vector<std::uint8_t> bytes = sample(1000);
    std::unique_ptr<section_data> section = section_data::plain(bytes.data(), bytes.size());
    EXPECT_EQ(section->bytes(), bytes.data());
    EXPECT_TRUE(section->ensure(0, bytes.size()));
    EXPECT_FALSE(section->ensure(0, bytes.size() + 1));
}

} // namespace
