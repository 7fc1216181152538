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

#include "platform/posix/object/file_source.hpp"
#include "platform/posix/object/section_data.hpp"

namespace {

using korvo::calltrail::posix_engine::file_source;
using korvo::calltrail::posix_engine::section_data;
using korvo::calltrail::posix_engine::unique_fd;

// Text-like bytes that compress as debug information does.
std::vector<std::uint8_t> sample(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::mt19937 random(7);
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
    if (section != nullptr && in_order) section->read_in_order();
    return section;
}

TEST(posix_engine_sections, reads_in_any_order_see_the_bytes_of_the_whole_section) {
    const std::vector<std::uint8_t> bytes = sample(3 << 20);
    const std::vector<std::uint8_t> stream = compressed(bytes);
    for (const bool in_order : {false, true}) {
        SCOPED_TRACE(in_order ? "read in order" : "read where asked");
        std::unique_ptr<section_data> section = inflated(stream, stream.size(), bytes.size(), in_order);
        ASSERT_NE(section, nullptr);
        std::mt19937 random(11);
        // Forward jumps, reads behind the stream, reads across earlier ranges,
        // and enough of them to make the section go whole.
        for (int i = 0; i < 200; ++i) {
            const std::size_t begin = random() % bytes.size();
            const std::size_t end = std::min(bytes.size(), begin + 1 + random() % 40000);
            ASSERT_TRUE(section->ensure(begin, end)) << begin;
            ASSERT_TRUE(same_range(*section, bytes, begin, end)) << begin << " " << end;
            // Read in order, what is before a read is readable with it.
            if (in_order) {
                ASSERT_TRUE(same_range(*section, bytes, 0, end)) << end;
            }
        }
        // What was once readable stays so, unchanged.
        ASSERT_TRUE(section->ensure(0, bytes.size()));
        EXPECT_TRUE(same_range(*section, bytes, 0, bytes.size()));
    }
}

TEST(posix_engine_sections, a_read_beyond_the_section_or_its_stream_fails) {
    const std::vector<std::uint8_t> bytes = sample(400000);
    std::vector<std::uint8_t> stream = compressed(bytes);
    for (const bool in_order : {false, true}) {
        SCOPED_TRACE(in_order ? "read in order" : "read where asked");
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
            EXPECT_FALSE(cut->ensure(200000, 200001));
            const std::vector<std::uint8_t> garbage(4096, 0xff);
            std::unique_ptr<section_data> corrupt = inflated(garbage, garbage.size(), bytes.size(), in_order);
            if (corrupt != nullptr) {
                EXPECT_FALSE(corrupt->ensure(0, 1));
            }
        }
    }
}

// A section read from a file, at an odd offset in it, both as the engine
// reads it and read for most of it: in the heap, in reserved space, and in
// huge pages (from half a huge page on), each size at or around where the
// way it is held changes. Released ranges are read again or kept; the bytes
// read are the file's either way, up to the section's last one.
TEST(posix_engine_sections, file_sections_of_every_size_read_the_files_bytes) {
    constexpr std::size_t before = 123;
    const std::size_t sizes[] = {1000, 64 * 1024, 64 * 1024 + 1, (1 << 20) - 1, 1 << 20, (2 << 20) + 5, 5 << 20};
    const std::vector<std::uint8_t> bytes = sample(before + (5 << 20));
    char path[] = "/tmp/calltrail_section_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    struct stat status {};
    for (const std::size_t size : sizes) {
        for (const bool bulk : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (bulk ? " read in bulk" : " read where asked"));
            unique_fd opened = korvo::calltrail::posix_engine::open_regular_file(path, status);
            ASSERT_TRUE(opened);
            std::unique_ptr<section_data> section = section_data::from_file(
                std::make_shared<file_source>(path, std::move(opened), status), before, size);
            if (bulk) section->read_in_order();
            const std::vector<std::uint8_t> expected(bytes.begin() + before, bytes.begin() + before + size);
            std::mt19937 random(5);
            for (int i = 0; i < 60; ++i) {
                const std::size_t begin = random() % size;
                const std::size_t end = std::min(size, begin + 1 + random() % 300000);
                ASSERT_TRUE(section->ensure(begin, end)) << begin;
                ASSERT_TRUE(same_range(*section, expected, begin, end)) << begin << " " << end;
                if (i % 3 == 2) section->release(begin, end);
            }
            ASSERT_TRUE(section->ensure(size - 1, size));
            ASSERT_TRUE(section->ensure(0, size));
            EXPECT_TRUE(same_range(*section, expected, 0, size));
            EXPECT_FALSE(section->ensure(size - 1, size + 1));
        }
    }
    unlink(path);
}

TEST(posix_engine_sections, plain_sections_are_read_where_they_are) {
    const std::vector<std::uint8_t> bytes = sample(1000);
    std::unique_ptr<section_data> section = section_data::plain(bytes.data(), bytes.size());
    EXPECT_EQ(section->bytes(), bytes.data());
    EXPECT_TRUE(section->ensure(0, bytes.size()));
    EXPECT_FALSE(section->ensure(0, bytes.size() + 1));
}

} // namespace
