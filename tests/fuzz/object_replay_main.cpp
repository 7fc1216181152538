// Without libFuzzer: each object named on the command line as it is, then in
// a fixed series of mutations, through the fuzzer's entry point. A mutation
// changes a few bytes of the headers or of one section, where a reader's
// decisions lie, rather than anywhere in the code.
#include <elf.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using span = std::pair<std::size_t, std::size_t>;

// The file header with the section headers, and each section's bytes.
std::vector<span> regions_of(const std::vector<std::uint8_t>& bytes) {
    std::vector<span> regions{{0, std::min<std::size_t>(bytes.size(), sizeof(Elf64_Ehdr))}};
    Elf64_Ehdr header;
    if (bytes.size() < sizeof header) return regions;
    std::memcpy(&header, bytes.data(), sizeof header);
    const std::size_t table = header.e_shoff;
    const std::size_t count = header.e_shnum;
    if (table > bytes.size() || count > (bytes.size() - table) / sizeof(Elf64_Shdr)) return regions;
    regions.emplace_back(table, count * sizeof(Elf64_Shdr));
    for (std::size_t i = 1; i < count; ++i) {
        Elf64_Shdr section;
        std::memcpy(&section, bytes.data() + table + i * sizeof section, sizeof section);
        if (section.sh_type != SHT_NOBITS && section.sh_size != 0 && section.sh_offset < bytes.size() &&
            section.sh_size <= bytes.size() - section.sh_offset)
            regions.emplace_back(section.sh_offset, section.sh_size);
    }
    return regions;
}

} // namespace

int main(int argc, char** argv) {
    std::mt19937_64 random(20240612);
    std::size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        const std::vector<std::uint8_t> original((std::istreambuf_iterator<char>(in)),
                                                 std::istreambuf_iterator<char>());
        if (original.empty()) continue;
        LLVMFuzzerTestOneInput(original.data(), original.size());
        ++inputs;
        const std::vector<span> regions = regions_of(original);
        for (int round = 0; round < 500; ++round) {
            std::vector<std::uint8_t> bytes = original;
            const span& region = regions[random() % regions.size()];
            for (int change = 1 + static_cast<int>(random() % 4); change > 0; --change)
                bytes[region.first + random() % region.second] = static_cast<std::uint8_t>(random());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++inputs;
        }
    }
    std::printf("%zu inputs replayed\n", inputs);
    return 0;
}
