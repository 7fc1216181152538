#include "chain.hpp"
#include "hop_library.hpp"

#include <cstdlib>

namespace calltrail_bench {
namespace {

struct walk {
    route how;
    void (*work)(void*);
    void* argument;
};

using link_fn = std::size_t (*)(walk&);

// Where the through_libraries route leaves the executable, counted from the
// top of the chain: close to the bottom, so that short traces cross too.
constexpr std::size_t sort_link = 56;
constexpr std::size_t hop_link = 60;

__attribute__((noinline)) std::size_t link_64(walk& w) {
    w.work(w.argument);
    __asm__ __volatile__("" ::: "memory");
    return 64;
}

struct onward {
    walk* w;
    link_fn next;
    std::size_t result;
    bool taken;
};

int compare_and_continue(const void* a, const void* b, void* argument) {
    auto& on = *static_cast<onward*>(argument);
    if (!on.taken) {
        on.taken = true;
        on.result = on.next(*on.w);
    }
    const int x = *static_cast<const int*>(a);
    const int y = *static_cast<const int*>(b);
    return (x > y) - (x < y);
}

std::size_t continue_after_hop(void* argument) {
    auto& on = *static_cast<onward*>(argument);
    on.result = on.next(*on.w);
    __asm__ __volatile__("" ::: "memory");
    return on.result;
}

inline std::size_t step(walk& w, std::size_t k, link_fn next) {
    std::size_t result = 0;
    if (w.how == route::through_libraries && k == sort_link) {
        onward on{&w, next, 0, false};
        int pair[2] = {2, 1};
        qsort_r(pair, 2, sizeof pair[0], compare_and_continue, &on);
        result = on.result + static_cast<std::size_t>(pair[0]);
    } else if (w.how == route::through_libraries && k == hop_link) {
        onward on{&w, next, 0, false};
        result = ct_bench_hop(continue_after_hop, &on);
    } else {
        result = next(w);
    }
    // Work after the call: no link may become a tail call.
    __asm__ __volatile__("" ::: "memory");
    return result + k;
}

#define CALLTRAIL_BENCH_LINK(k, next)                                                                                  \
    __attribute__((noinline)) std::size_t link_##k(walk& w) { return step(w, k, link_##next); }

CALLTRAIL_BENCH_LINK(63, 64)
CALLTRAIL_BENCH_LINK(62, 63)
CALLTRAIL_BENCH_LINK(61, 62)
CALLTRAIL_BENCH_LINK(60, 61)
CALLTRAIL_BENCH_LINK(59, 60)
CALLTRAIL_BENCH_LINK(58, 59)
CALLTRAIL_BENCH_LINK(57, 58)
CALLTRAIL_BENCH_LINK(56, 57)
CALLTRAIL_BENCH_LINK(55, 56)
CALLTRAIL_BENCH_LINK(54, 55)
CALLTRAIL_BENCH_LINK(53, 54)
CALLTRAIL_BENCH_LINK(52, 53)
CALLTRAIL_BENCH_LINK(51, 52)
CALLTRAIL_BENCH_LINK(50, 51)
CALLTRAIL_BENCH_LINK(49, 50)
CALLTRAIL_BENCH_LINK(48, 49)
CALLTRAIL_BENCH_LINK(47, 48)
CALLTRAIL_BENCH_LINK(46, 47)
CALLTRAIL_BENCH_LINK(45, 46)
CALLTRAIL_BENCH_LINK(44, 45)
CALLTRAIL_BENCH_LINK(43, 44)
CALLTRAIL_BENCH_LINK(42, 43)
CALLTRAIL_BENCH_LINK(41, 42)
CALLTRAIL_BENCH_LINK(40, 41)
CALLTRAIL_BENCH_LINK(39, 40)
CALLTRAIL_BENCH_LINK(38, 39)
CALLTRAIL_BENCH_LINK(37, 38)
CALLTRAIL_BENCH_LINK(36, 37)
CALLTRAIL_BENCH_LINK(35, 36)
CALLTRAIL_BENCH_LINK(34, 35)
CALLTRAIL_BENCH_LINK(33, 34)
CALLTRAIL_BENCH_LINK(32, 33)
CALLTRAIL_BENCH_LINK(31, 32)
CALLTRAIL_BENCH_LINK(30, 31)
CALLTRAIL_BENCH_LINK(29, 30)
CALLTRAIL_BENCH_LINK(28, 29)
CALLTRAIL_BENCH_LINK(27, 28)
CALLTRAIL_BENCH_LINK(26, 27)
CALLTRAIL_BENCH_LINK(25, 26)
CALLTRAIL_BENCH_LINK(24, 25)
CALLTRAIL_BENCH_LINK(23, 24)
CALLTRAIL_BENCH_LINK(22, 23)
CALLTRAIL_BENCH_LINK(21, 22)
CALLTRAIL_BENCH_LINK(20, 21)
CALLTRAIL_BENCH_LINK(19, 20)
CALLTRAIL_BENCH_LINK(18, 19)
CALLTRAIL_BENCH_LINK(17, 18)
CALLTRAIL_BENCH_LINK(16, 17)
CALLTRAIL_BENCH_LINK(15, 16)
CALLTRAIL_BENCH_LINK(14, 15)
CALLTRAIL_BENCH_LINK(13, 14)
CALLTRAIL_BENCH_LINK(12, 13)
CALLTRAIL_BENCH_LINK(11, 12)
CALLTRAIL_BENCH_LINK(10, 11)
CALLTRAIL_BENCH_LINK(9, 10)
CALLTRAIL_BENCH_LINK(8, 9)
CALLTRAIL_BENCH_LINK(7, 8)
CALLTRAIL_BENCH_LINK(6, 7)
CALLTRAIL_BENCH_LINK(5, 6)
CALLTRAIL_BENCH_LINK(4, 5)
CALLTRAIL_BENCH_LINK(3, 4)
CALLTRAIL_BENCH_LINK(2, 3)
CALLTRAIL_BENCH_LINK(1, 2)
CALLTRAIL_BENCH_LINK(0, 1)

#undef CALLTRAIL_BENCH_LINK

const link_fn entries[chain_length + 1] = {
    link_0,  link_1,  link_2,  link_3,  link_4,  link_5,  link_6,  link_7,  link_8,  link_9,  link_10,
    link_11, link_12, link_13, link_14, link_15, link_16, link_17, link_18, link_19, link_20, link_21,
    link_22, link_23, link_24, link_25, link_26, link_27, link_28, link_29, link_30, link_31, link_32,
    link_33, link_34, link_35, link_36, link_37, link_38, link_39, link_40, link_41, link_42, link_43,
    link_44, link_45, link_46, link_47, link_48, link_49, link_50, link_51, link_52, link_53, link_54,
    link_55, link_56, link_57, link_58, link_59, link_60, link_61, link_62, link_63, link_64};

} // namespace

void run_in_chain(std::size_t depth, route how, void (*work)(void*), void* argument) {
    walk w{how, work, argument};
    const std::size_t first = depth < chain_length ? chain_length - depth : 0;
    volatile std::size_t sink = entries[first](w);
    (void)sink;
}

} // namespace calltrail_bench
