// Objects crafted so that reading them would cost far more than their size:
// each must cost about what its size does. Bounds are held against counts of
// the work done and of the bytes allocated, which do not depend on the
// machine's speed. The figures in comments are what the same inputs cost
// before the work was bounded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <string>

#include "crafted_object.hpp"
#include "platform/posix/debug_engine/loaded_module.hpp"
#include "platform/posix/support/work_counts.hpp"
#include "reliability/support/failing_allocation.hpp"

namespace {

using namespace korvo::calltrail::posix_engine;

struct work {
    std::uint64_t inflated = 0;
    std::uint64_t read = 0;
    std::uint64_t checksummed = 0;
    std::uint64_t abbreviations = 0;
    std::uint64_t range_entries = 0;
    std::uint64_t path_bytes = 0;
    std::size_t peak_bytes = 0;
};

work counted_now() {
    work w;
    w.inflated = counted_work.bytes_inflated.load();
    w.read = counted_work.bytes_read.load();
    w.checksummed = counted_work.bytes_checksummed.load();
    w.abbreviations = counted_work.abbreviations_read.load();
    w.range_entries = counted_work.range_entries_read.load();
    w.path_bytes = counted_work.path_bytes_made.load();
    return w;
}

struct answer {
    bool named = false;
    bool located = false;
    std::string path;
};

// The function and line at the middle of the crafted code, looked up once in
// a module of its own, and what that cost.
answer look_up(module_description d, work& cost) {
    const work before = counted_now();
    const std::size_t bytes_before = calltrail_test::live_bytes();
    calltrail_test::start_peak();
    answer a;
    {
        loaded_module module(std::move(d));
        function_answer function;
        source_location location;
        a.named = module.function_at(crafted::code_start + 0x800, function);
        a.located = module.line_at(crafted::code_start + 0x800, location);
        if (a.located) a.path = *location.path;
    }
    const work after = counted_now();
    cost.inflated = after.inflated - before.inflated;
    cost.read = after.read - before.read;
    cost.checksummed = after.checksummed - before.checksummed;
    cost.abbreviations = after.abbreviations - before.abbreviations;
    cost.range_entries = after.range_entries - before.range_entries;
    cost.path_bytes = after.path_bytes - before.path_bytes;
    cost.peak_bytes = calltrail_test::peak_bytes() - bytes_before;
    return a;
}

constexpr std::size_t mib = std::size_t{1} << 20;
const std::string long_directory = "/" + std::string(3999, 'd');

struct amplifying_input {
    const char* name;
    std::function<crafted::bytes()> make;
    bool located;
    std::function<void(const work&, const answer&)> check;
};

TEST(posix_engine_amplification, each_crafted_input_costs_about_what_its_size_does) {
    const amplifying_input inputs[] = {
        // 10 million abbreviations read, one table per unit.
        {"units sharing one long abbreviation table", [] { return crafted::shared_abbreviations(2000, 5000); }, true,
         [](const work& w, const answer&) { EXPECT_LE(w.abbreviations, 2u * 5000); }},
        // 2 million, each table running to the end of the list.
        {"units naming overlapping abbreviation tables", [] { return crafted::overlapping_abbreviations(2000); }, true,
         [](const work& w, const answer&) { EXPECT_LE(w.abbreviations, 3u * 2000); }},
        // 2 million range entries, and as many inline sites in memory.
        {"inlined calls naming one long range list", [] { return crafted::shared_range_list(2000, 1000); }, true,
         [](const work& w, const answer&) { EXPECT_LE(w.range_entries, 5u * 16 * 1001); }},
        // 8 MB of paths made, one per file.
        {"files in one long directory", [] { return crafted::long_directory(2000, 4000, false); }, true,
         [](const work& w, const answer& a) {
             EXPECT_EQ(a.path, long_directory + "/f.c");
             EXPECT_LE(w.path_bytes, 2 * a.path.size());
         }},
        {"files the line program defines in one long directory",
         [] { return crafted::long_directory(2000, 4000, true); }, true,
         [](const work& w, const answer& a) { EXPECT_LE(w.path_bytes, 2 * a.path.size()); }},
        // 20 MB inflated and held, from a stream of 20 KB.
        {"a unit that inflates far beyond its stream", [] { return crafted::inflating_unit(20 * mib); }, false,
         [](const work& w, const answer&) { EXPECT_LE(w.inflated, 1 * mib); }},
        {"a large unit within what its stream may hold", [] { return crafted::inflating_unit(2 * mib); }, true,
         [](const work& w, const answer&) { EXPECT_LE(w.inflated, 3 * mib); }},
        // zstd has no bound of its own: 20 MB from a stream of a few hundred bytes.
        {"a zstd unit that decodes far beyond its stream", [] { return crafted::inflating_unit(20 * mib, true); },
         false, [](const work& w, const answer&) { EXPECT_LE(w.inflated, 1 * mib); }},
        {"a large zstd unit within what its stream may hold", [] { return crafted::inflating_unit(2 * mib, true); },
         true, [](const work& w, const answer&) { EXPECT_LE(w.inflated, 3 * mib); }},
    };
    for (const amplifying_input& input : inputs) {
        SCOPED_TRACE(input.name);
        const crafted::bytes image = input.make();
        work cost;
        const answer a = look_up(describe_image(image.data(), image.size(), "crafted"), cost);
        EXPECT_TRUE(a.named);
        EXPECT_EQ(a.located, input.located);
        // Each input is smaller than this, and nothing it holds may grow past it.
        EXPECT_LE(cost.peak_bytes, 4 * mib);
        input.check(cost, a);
    }
}

void write_file(const std::string& path, const crafted::bytes& contents) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    close(fd);
}

// A library without build-id beside the debug file its link names, with the
// checksum the link records either right or not.
TEST(posix_engine_amplification, a_debug_link_checksum_reads_only_a_plausible_debug_file) {
    char directory[] = "/tmp/calltrail_debug_link_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string library = std::string(directory) + "/crafted.so";
    const std::string debug = std::string(directory) + "/crafted.debug";
    const crafted::bytes debug_file = crafted::linked_debug_file();
    const std::uint32_t crc =
        static_cast<std::uint32_t>(crc32(0, debug_file.data(), static_cast<uInt>(debug_file.size())));
    write_file(library, crafted::linked_library("crafted.debug", crc));
    write_file(debug, debug_file);
    auto described = [&] {
        module_description d;
        d.loader_name = d.path = library;
        d.name = "crafted.so";
        d.code.emplace_back(0, crafted::code_end);
        return d;
    };
    work cost;
    // Found and checked: the whole file is read for its checksum.
    EXPECT_EQ(look_up(described(), cost).path, "/src/f.c");
    EXPECT_EQ(cost.checksummed, debug_file.size());
    // The same file grown to a gigabyte (1 GB read, in 5.4 s): no debug file
    // ends that far past its last section, and its checksum is not read.
    ASSERT_EQ(truncate(debug.c_str(), 1L << 30), 0);
    const answer sparse = look_up(described(), cost);
    EXPECT_TRUE(sparse.named);
    EXPECT_FALSE(sparse.located);
    EXPECT_EQ(cost.checksummed, 0u);
    EXPECT_LE(cost.read, 1 * mib);
    unlink(debug.c_str());
    unlink(library.c_str());
    rmdir(directory);
}

} // namespace
