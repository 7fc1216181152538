// The symbol index answers as a plain search over its sorted functions
// would, wherever the address falls: inside, between or beyond functions,
// and on either side of the page boundaries its lookup table uses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>

#include "attached_symbols.hpp"
#include "platform/posix/dwarf/source_lines.hpp"
#include "platform/posix/object/elf_file.hpp"
#include "platform/posix/object/symbol_index.hpp"

namespace {

using korvo::calltrail::posix_engine::elf_file;
using korvo::calltrail::posix_engine::symbol_index;
using korvo::calltrail::posix_engine::unit_index;

// The function with the greatest start at or below the address among those
// that hold it, looking back over a few overlapping ones.
const symbol_index::function* reference_find(const std::vector<symbol_index::function>& functions,
                                             std::uint64_t address) {
    std::size_t after = 0;
    while (after < functions.size() && functions[after].start <= address) ++after;
    for (int steps = 0; after > 0 && steps < 16; ++steps) {
        --after;
        if (address - functions[after].start < functions[after].size) return &functions[after];
    }
    return nullptr;
}

void expect_same_answers(const char* path, bool dynamic) {
    SCOPED_TRACE(path);
    const std::unique_ptr<elf_file> file = elf_file::open(path);
    ASSERT_NE(file, nullptr);
    const std::unique_ptr<symbol_index> index = symbol_index::build(*file, dynamic, 0);
    ASSERT_NE(index, nullptr);
    const std::vector<symbol_index::function>& functions = index->functions();
    ASSERT_GT(functions.size(), 10u);
    for (std::size_t i = 1; i < functions.size(); ++i) ASSERT_LT(functions[i - 1].start, functions[i].start);

    std::vector<std::uint64_t> addresses;
    for (const auto& f : functions) {
        const std::uint64_t size = f.size;
        for (const std::uint64_t delta : {std::uint64_t{0}, std::uint64_t{1}, size - 1, size})
            addresses.push_back(f.start + delta);
    }
    const std::uint64_t low = functions.front().start;
    const std::uint64_t high = functions.back().start + functions.back().size;
    for (std::uint64_t page = low & ~std::uint64_t{4095}; page <= high + 4096; page += 4096)
        for (std::uint64_t near : {page - 1, page, page + 1}) addresses.push_back(near);
    std::mt19937_64 random(3);
    for (int i = 0; i < 20000; ++i) addresses.push_back(low - 64 + random() % (high - low + 128));
    addresses.push_back(0);
    addresses.push_back(~std::uint64_t{0});

    int mismatches = 0;
    for (const std::uint64_t address : addresses) {
        bool nearest = false;
        const symbol_index::function* found = index->find(address, &nearest);
        if (found != reference_find(functions, address) && ++mismatches < 5) {
            ADD_FAILURE() << std::hex << address;
        }
        // Nearest means no function starts between it and the address.
        if (found != nullptr && nearest && found + 1 != functions.data() + functions.size()) {
            EXPECT_GT((found + 1)->start, address);
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(posix_engine_index, lookups_agree_with_a_plain_search) {
    expect_same_answers("/proc/self/exe", false);
    // A large table of the system's, with aliases, versions and overlaps.
    expect_same_answers("/lib/x86_64-linux-gnu/libc.so.6", true);
}

TEST(posix_engine_index, aliases_collapse_to_the_exported_name_without_its_version) {
    // The full symbol table of the C library's debug file names versions
    // ("memcpy@@GLIBC_2.14") and many aliases of one address.
    const std::string path = posix_engine_test::c_library_debug_file();
    if (path.empty() || access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "the C library's debug file is not installed";
    expect_same_answers(path.c_str(), false);
    const std::unique_ptr<elf_file> file = elf_file::open(path.c_str());
    ASSERT_NE(file, nullptr);
    const std::unique_ptr<symbol_index> index = symbol_index::build(*file, false, 0);
    ASSERT_NE(index, nullptr);
    std::set<std::string> names;
    for (const auto& f : index->functions()) {
        const auto name = index->name_of(f);
        const std::string text(name);
        EXPECT_EQ(text.find('@'), std::string::npos) << text;
        names.insert(text);
    }
    // The exported names win over the internal aliases at their addresses.
    for (const char* exported : {"memcpy", "malloc", "qsort", "__libc_start_main"})
        EXPECT_EQ(names.count(exported), 1u) << exported;
    EXPECT_EQ(names.count("__GI_qsort"), 0u);
    // Nor a name the compiler made for a function that has its own.
    EXPECT_EQ(names.count("_nl_make_l10nflist"), 1u);
    EXPECT_EQ(names.count("_nl_make_l10nflist.localalias"), 0u);
    EXPECT_EQ(names.count("__libc_start_main_impl"), 0u);
}

// The C library's table of names is large: once the index is built, it is
// read from its file name by name. What it gives is what the same table gives
// held in memory, by address and by name; once the file changes, a name given
// before stays, and one not read yet is not given at all.
TEST(posix_engine_index, names_read_from_the_file_are_those_of_the_table_in_memory) {
    const std::string path = posix_engine_test::c_library_debug_file();
    if (path.empty() || access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "the C library's debug file is not installed";
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    char copy_path[] = "/tmp/calltrail_index_XXXXXX";
    const int fd = mkstemp(copy_path);
    ASSERT_GE(fd, 0);
    const bool written = write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
    close(fd);
    struct removed {
        const char* path;
        ~removed() { unlink(path); }
    } const removing{copy_path};
    ASSERT_TRUE(written);

    const std::unique_ptr<elf_file> file = elf_file::open(copy_path);
    const std::unique_ptr<elf_file> memory = elf_file::adopt(std::move(image));
    ASSERT_NE(file, nullptr);
    ASSERT_NE(memory, nullptr);
    const std::unique_ptr<symbol_index> from_file = symbol_index::build(*file, false, 0);
    const std::unique_ptr<symbol_index> in_memory = symbol_index::build(*memory, false, 0);
    ASSERT_NE(from_file, nullptr);
    ASSERT_NE(in_memory, nullptr);
    const auto& functions = from_file->functions();
    ASSERT_EQ(functions.size(), in_memory->functions().size());
    int mismatches = 0;
    for (std::size_t i = 0; i < functions.size(); ++i) {
        const std::string_view name = from_file->name_of(functions[i]);
        if ((name.empty() || name != in_memory->name_of(in_memory->functions()[i])) && ++mismatches < 5)
            ADD_FAILURE() << i << " " << name;
    }
    EXPECT_EQ(mismatches, 0);
    for (const char* name : {"qsort", "memcpy", "msort_with_tmp", "__libc_start_main", "no_such_function"}) {
        const symbol_index::function* a = from_file->find_named(name);
        const symbol_index::function* b = in_memory->find_named(name);
        ASSERT_EQ(a == nullptr, b == nullptr) << name;
        if (a != nullptr) {
            EXPECT_EQ(a->start, b->start) << name;
        }
    }

    const std::unique_ptr<elf_file> changing = elf_file::open(copy_path);
    ASSERT_NE(changing, nullptr);
    const std::unique_ptr<symbol_index> index = symbol_index::build(*changing, false, 0);
    ASSERT_NE(index, nullptr);
    const std::unique_ptr<symbol_index> kept = symbol_index::build(*changing, false, 0);
    ASSERT_NE(kept, nullptr);
    kept->keep_names();
    const symbol_index::function* asked = in_memory->find_named("qsort");
    ASSERT_NE(asked, nullptr);
    const symbol_index::function* first = index->find(asked->start);
    const symbol_index::function* other = index->find(in_memory->find_named("memcpy")->start);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(index->name_of(*first), "qsort");
    ASSERT_EQ(truncate(copy_path, 0), 0);
    EXPECT_EQ(index->name_of(*first), "qsort");
    EXPECT_EQ(index->name_of(*other), "");
    // Names kept whole are all there after the file changed.
    int lost = 0;
    for (std::size_t i = 0; i < kept->functions().size(); ++i)
        if (kept->name_of(kept->functions()[i]) != in_memory->name_of(in_memory->functions()[i])) ++lost;
    EXPECT_EQ(lost, 0);
}

// The units' ranges are kept in 16 bytes: an empty or reversed one holds
// nothing, and one longer than 4 GB holds its first 4 GB.
TEST(posix_engine_index, unit_ranges_hold_what_they_say_up_to_four_gigabytes) {
    constexpr std::uint64_t four_gb = std::uint64_t{1} << 32;
    unit_index index;
    index.ranges = {unit_index::range_of(0x1000, 0x2000, 0), unit_index::range_of(0x3000, 0x3000, 1),
                    unit_index::range_of(0x5000, 0x4000, 2), unit_index::range_of(0x10000, 0x10000 + 3 * four_gb, 3)};
    index.offsets = {0, 1, 2, 3};
    index.finish();
    const struct {
        std::uint64_t address;
        int unit;
    } cases[] = {{0xfff, -1},
                 {0x1000, 0},
                 {0x1fff, 0},
                 {0x2000, -1},
                 {0x3000, -1},
                 {0x4800, -1},
                 {0x5000, -1},
                 {0x10000, 3},
                 {four_gb, 3},
                 {0x10000 + four_gb - 2, 3},
                 {0x10000 + four_gb, -1},
                 {0x10000 + 2 * four_gb, -1}};
    for (const auto& c : cases) {
        const std::optional<std::uint32_t> found = index.find(c.address);
        EXPECT_EQ(found ? static_cast<int>(*found) : -1, c.unit) << std::hex << c.address;
    }
}

} // namespace
