// The walker's decoders over bytes of any content, where every read they
// make is checked: the bytes are an object's unwind table and records
// (.eh_frame_hdr first, then .eh_frame) and a stack, each placed against an
// inaccessible page, so that a read past either faults. From the table the
// fuzzer finds records, runs their CFA programs, evaluates what they say and
// steps a frame over the stack, as the walk does, by the row and by the rule
// as the cache keeps it.
//
// Input: a byte of flags, the stack's size in words, the stack's words, then
// the object.
#include "platform/posix/unwind/dwarf_expression.hpp"
#include "platform/posix/unwind/eh_frame.hpp"
#include "platform/posix/unwind/x86_64_row.hpp"

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace korvo::calltrail::posix_unwind;

namespace {

constexpr std::size_t page = 4096;

// A page of data with an inaccessible page after it; what is placed there
// ends where the page does.
struct guarded_page {
    std::uint8_t* mapping;
    guarded_page() {
        mapping = static_cast<std::uint8_t*>(
            mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(mapping + page, page, PROT_NONE);
    }
    std::uint8_t* place(const std::uint8_t* data, std::size_t size) {
        std::uint8_t* at = mapping + page - size;
        std::memcpy(at, data, size);
        return at;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static guarded_page stack_page, object_page;
    if (size < 2) return 0;
    const std::uint8_t flags = data[0];
    const std::size_t words = data[1] % 64;
    if (size - 2 < words * 8 || size - 2 - words * 8 > page || words == 0) return 0;
    const auto* stack = stack_page.place(data + 2, words * 8);
    const std::uint8_t* image = object_page.place(data + 2 + words * 8, size - 2 - words * 8);
    const auto low = reinterpret_cast<std::uintptr_t>(stack);
    const auto image_start = reinterpret_cast<std::uintptr_t>(image);
    const loaded_object object{image_start, image_start + (size - 2 - words * 8), 0, image};

    machine_state registers{};
    registers.value[machine_state::rsp] = low;
    registers.value[machine_state::rbp] = low + 8 * (flags % words);
    registers.value[machine_state::rbx] = low + 8 * ((flags >> 3) % words);
    registers.known = (1u << machine_state::rsp) | (flags & 0x40 ? 1u << machine_state::rbp : 0) |
                      (flags & 0x80 ? 1u << machine_state::rbx : 0);
    const std::uintptr_t top = low + words * 8;
    // The object's first bytes as an expression too, behind their length.
    static guarded_page expression_page;
    std::uint8_t block[128];
    block[0] = static_cast<std::uint8_t>(size - 2 - words * 8 < 127 ? size - 2 - words * 8 : 127);
    std::memcpy(block + 1, image, block[0]);
    const expression_context context{registers.value, registers.known, machine_state::count, low, top};
    std::uintptr_t value = 0;
    evaluate(expression_page.place(block, 1u + block[0]), context, &low, value);
    // Return addresses in and around the object, as a damaged stack gives.
    const std::uintptr_t span = object.end - object.start;
    for (std::uintptr_t i = 0; i < 40; ++i) {
        const std::uintptr_t pc = image_start - 8 + i * (span + 16) / 40 + (flags & 7);
        frame_description found;
        if (!find_frame_description(object, pc, found)) continue;
        unwind_row row;
        if (!row_at(found, pc, row_registers, row)) continue;
        packed_rule rule;
        std::uint64_t word = 0;
        if (pack(row, rule) && cache_word(rule, i, word)) {
            // The loop over ordinary frames takes an aligned stack pointer.
            std::uintptr_t pc = 0, sp = low, bp = registers.value[machine_state::rbp],
                           bx = registers.value[machine_state::rbx];
            ordinary_step(pc, sp, bp, bx, top, word);
        }
        machine_state stepped = registers;
        apply_row(stepped, row, low, top);
    }
    return 0;
}
