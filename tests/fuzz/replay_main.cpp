// Without libFuzzer: replays every seed given on the command line, each
// followed by CALLTRAIL_REPLAY_MUTATIONS copies with a few bytes changed,
// then a fixed series of generated inputs, through the fuzzer's entry point.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#ifndef CALLTRAIL_REPLAY_MUTATIONS
#define CALLTRAIL_REPLAY_MUTATIONS 0
#endif

int main(int argc, char** argv) {
    std::mt19937_64 mutations(20240613);
    std::size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++inputs;
        for (int round = 0; round < CALLTRAIL_REPLAY_MUTATIONS && !bytes.empty(); ++round) {
            std::vector<std::uint8_t> changed = bytes;
            for (int change = 1 + static_cast<int>(mutations() % 4); change > 0; --change)
                changed[mutations() % changed.size()] = static_cast<std::uint8_t>(mutations());
            LLVMFuzzerTestOneInput(changed.data(), changed.size());
            ++inputs;
        }
    }
    std::mt19937_64 random(20240611);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> bytes(1 + 9 * (random() % 40));
        for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++inputs;
    }
    std::printf("%zu inputs replayed\n", inputs);
    return 0;
}
