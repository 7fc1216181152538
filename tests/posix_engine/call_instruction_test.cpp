// Whether the bytes before a return address can be a call, for the
// processor the tests run on: every form of call the compilers emit, and the
// jumps and returns that look most like one.
#include "platform/posix/debug_engine/call_instruction.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using korvo::calltrail::posix_engine::ends_in_call;
using korvo::calltrail::posix_engine::longest_call;

struct instruction {
    const char* text;
    std::vector<std::uint8_t> bytes;
    bool is_call;
};

#if defined(__aarch64__)
// Little-endian words, as aarch64-linux-gnu-as writes them.
std::vector<std::uint8_t> word(std::uint32_t w) {
    return {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w >> 16),
            static_cast<std::uint8_t>(w >> 24)};
}

const instruction instructions[] = {
    {"bl .", word(0x94000000), true},         {"bl .-56", word(0x97fffff2), true},
    {"blr x17", word(0xd63f0220), true},      {"blr x0", word(0xd63f0000), true},
    {"blraaz x3", word(0xd63f087f), true},    {"blrabz x30", word(0xd63f0fdf), true},
    {"blraa x1, x2", word(0xd73f0822), true}, {"blrab x5, sp", word(0xd73f0cbf), true},
    {"b .", word(0x17fffffa), false},         {"br x1", word(0xd61f0020), false},
    {"ret", word(0xd65f03c0), false},         {"braa x1, x2", word(0xd71f0822), false},
    {"braaz x1", word(0xd61f083f), false},    {"retaa", word(0xd65f0bff), false},
    {"nop", word(0xd503201f), false},         {"udf #0", word(0x00000000), false},
};
#elif defined(__x86_64__)
const instruction instructions[] = {
    {"call rel32", {0xe8, 0x10, 0x20, 0x30, 0x40}, true},
    {"call *%rax", {0xff, 0xd0}, true},
    {"call *%r11", {0x41, 0xff, 0xd3}, true},
    {"call *(%rax)", {0xff, 0x10}, true},
    {"call *0x8(%rbx)", {0xff, 0x53, 0x08}, true},
    {"call *0x10(%rip)", {0xff, 0x15, 0x10, 0x00, 0x00, 0x00}, true},
    {"call *(%rax,%rbx,8)", {0xff, 0x14, 0xd8}, true},
    {"call *0x8(%rax,%rbx,8)", {0xff, 0x54, 0xd8, 0x08}, true},
    {"call *0x100(%rax,%rbx,8)", {0xff, 0x94, 0xd8, 0x00, 0x01, 0x00, 0x00}, true},
    {"ret", {0xc3}, false},
    {"jmp rel32", {0xe9, 0x10, 0x20, 0x30, 0x40}, false},
    {"jmp *%rax", {0xff, 0xe0}, false},
    {"nop", {0x90}, false},
    {"ud2", {0x0f, 0x0b}, false},
};
#endif

#if defined(__aarch64__) || defined(__x86_64__)
TEST(posix_engine_call_instruction, tells_calls_from_other_instructions) {
    ASSERT_GT(longest_call, 0u);
    for (const instruction& i : instructions) {
        SCOPED_TRACE(i.text);
        ASSERT_LE(i.bytes.size(), longest_call);
        // Zero bytes before the instruction, as far back as the rule may look.
        std::vector<std::uint8_t> code(longest_call - i.bytes.size(), 0);
        code.insert(code.end(), i.bytes.begin(), i.bytes.end());
        EXPECT_EQ(ends_in_call(code.data() + code.size()), i.is_call);
    }
}
#endif

} // namespace
