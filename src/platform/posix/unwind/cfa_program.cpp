#include "platform/posix/unwind/cfa_program.hpp"

#include "platform/posix/unwind/byte_reader.hpp"

#include <cstddef>

namespace korvo {
namespace calltrail {
namespace posix_unwind {
namespace {

// DW_CFA_* instructions that carry no operand in their first byte.
enum : std::uint8_t {
    cfa_nop = 0x00,
    cfa_advance_loc1 = 0x02,
    cfa_advance_loc2 = 0x03,
    cfa_advance_loc4 = 0x04,
    cfa_offset_extended = 0x05,
    cfa_restore_extended = 0x06,
    cfa_undefined = 0x07,
    cfa_same_value = 0x08,
    cfa_register = 0x09,
    cfa_remember_state = 0x0a,
    cfa_restore_state = 0x0b,
    cfa_def_cfa = 0x0c,
    cfa_def_cfa_register = 0x0d,
    cfa_def_cfa_offset = 0x0e,
    cfa_def_cfa_expression = 0x0f,
    cfa_expression = 0x10,
    cfa_offset_extended_sf = 0x11,
    cfa_def_cfa_sf = 0x12,
    cfa_def_cfa_offset_sf = 0x13,
    cfa_val_offset = 0x14,
    cfa_val_offset_sf = 0x15,
    cfa_val_expression = 0x16,
    cfa_gnu_args_size = 0x2e,
    cfa_gnu_negative_offset_extended = 0x2f,
};

// Deep enough for every compiler we know; deeper programs are refused.
constexpr unsigned remembered_rows = 4;

struct interpreter {
    const frame_description& description;
    const tracked_set& tracked;
    unwind_row& row;
    unwind_row initial;
    unwind_row remembered[remembered_rows];
    unsigned depth = 0;
    std::uintptr_t location = 0;
    bool ok = true;

    register_rule* rule_of(std::uint64_t number) {
        for (unsigned i = 0; i < tracked_registers; ++i)
            if (tracked.number[i] == number) return &row.rules[i];
        return nullptr;
    }

    std::int32_t checked(std::int64_t value) {
        if (value < INT32_MIN || value > INT32_MAX) ok = false;
        return static_cast<std::int32_t>(value);
    }

    std::int32_t factored(std::int64_t value) {
        std::int64_t product = 0;
        if (__builtin_mul_overflow(value, description.data_alignment, &product)) ok = false;
        return checked(product);
    }

    void set(std::uint64_t number, rule_kind kind, std::int32_t value = 0, const std::uint8_t* expression = nullptr) {
        if (register_rule* rule = rule_of(number)) *rule = register_rule{expression, value, kind};
    }

    void restore(std::uint64_t number) {
        register_rule* rule = rule_of(number);
        if (rule != nullptr) *rule = initial.rules[rule - row.rules];
    }
};

// A block operand: its uleb128 length, then its bytes; returns where it starts.
const std::uint8_t* block(byte_reader& in) {
    const std::uint8_t* start = in.position();
    in.skip(static_cast<std::size_t>(in.uleb128()));
    return start;
}

void define_cfa(interpreter& it, std::uint64_t base, std::int32_t offset) {
    it.row.cfa = cfa_rule{nullptr, offset, static_cast<std::uint16_t>(base)};
    if (base > 0xffff) it.ok = false;
}

// The remembered state includes the CFA: epilogues in the middle of a
// function rely on restoring it.
void remember(interpreter& it, bool push) {
    if (push ? it.depth == remembered_rows : it.depth == 0) {
        it.ok = false;
        return;
    }
    if (push)
        it.remembered[it.depth++] = it.row;
    else
        it.row = it.remembered[--it.depth];
}

// Instructions that set one register's rule; false for any other.
bool define_register(interpreter& it, byte_reader& in, std::uint8_t opcode) {
    if (opcode == cfa_restore_extended) {
        it.restore(in.uleb128());
        return true;
    }
    const std::uint64_t r = in.uleb128();
    switch (opcode) {
    case cfa_offset_extended:
        it.set(r, rule_kind::offset, it.factored(static_cast<std::int64_t>(in.uleb128())));
        break;
    case cfa_offset_extended_sf:
        it.set(r, rule_kind::offset, it.factored(in.sleb128()));
        break;
    case cfa_gnu_negative_offset_extended:
        it.set(r, rule_kind::offset, it.factored(-static_cast<std::int64_t>(in.uleb128())));
        break;
    case cfa_val_offset:
        it.set(r, rule_kind::val_offset, it.factored(static_cast<std::int64_t>(in.uleb128())));
        break;
    case cfa_val_offset_sf:
        it.set(r, rule_kind::val_offset, it.factored(in.sleb128()));
        break;
    case cfa_undefined:
        it.set(r, rule_kind::undefined);
        break;
    case cfa_same_value:
        it.set(r, rule_kind::same_value);
        break;
    case cfa_register:
        it.set(r, rule_kind::in_register, it.checked(static_cast<std::int64_t>(in.uleb128())));
        break;
    case cfa_expression:
        it.set(r, rule_kind::expression, 0, block(in));
        break;
    case cfa_val_expression:
        it.set(r, rule_kind::val_expression, 0, block(in));
        break;
    default:
        return false;
    }
    return true;
}

// Instructions that set the CFA, or keep the state; the rest are refused.
void define(interpreter& it, byte_reader& in, std::uint8_t opcode) {
    switch (opcode) {
    case cfa_def_cfa: {
        const std::uint64_t base = in.uleb128();
        define_cfa(it, base, it.checked(static_cast<std::int64_t>(in.uleb128())));
        break;
    }
    case cfa_def_cfa_sf: {
        const std::uint64_t base = in.uleb128();
        define_cfa(it, base, it.factored(in.sleb128()));
        break;
    }
    case cfa_def_cfa_register:
        define_cfa(it, in.uleb128(), it.row.cfa.offset);
        break;
    case cfa_def_cfa_offset:
        it.row.cfa.offset = it.checked(static_cast<std::int64_t>(in.uleb128()));
        break;
    case cfa_def_cfa_offset_sf:
        it.row.cfa.offset = it.factored(in.sleb128());
        break;
    case cfa_def_cfa_expression:
        it.row.cfa = cfa_rule{block(in), 0, 0};
        break;
    case cfa_remember_state:
        remember(it, true);
        break;
    case cfa_restore_state:
        remember(it, false);
        break;
    case cfa_gnu_args_size:
        in.uleb128();
        break;
    case cfa_nop:
        break;
    default:
        it.ok = define_register(it, in, opcode);
        break;
    }
}

// Runs a program until its location passes pc; false when it cannot be
// followed.
bool run(interpreter& it, const std::uint8_t* begin, const std::uint8_t* end, std::uintptr_t pc) {
    byte_reader in(begin, end);
    while (it.ok && in.ok() && in.left() > 0) {
        const std::uint8_t opcode = in.u8();
        std::uint64_t advance = 0;
        switch (opcode >> 6) {
        case 1:
            advance = opcode & 0x3fu;
            break;
        case 2:
            it.set(opcode & 0x3fu, rule_kind::offset, it.factored(static_cast<std::int64_t>(in.uleb128())));
            break;
        case 3:
            it.restore(opcode & 0x3fu);
            break;
        default:
            if (opcode == cfa_advance_loc1)
                advance = in.u8();
            else if (opcode == cfa_advance_loc2)
                advance = in.u16();
            else if (opcode == cfa_advance_loc4)
                advance = in.u32();
            else
                define(it, in, opcode);
            break;
        }
        if (advance != 0) {
            it.location += advance * it.description.code_alignment;
            if (it.location > pc) return true;
        }
    }
    return it.ok && in.ok();
}

} // namespace

bool row_at(const frame_description& description, std::uintptr_t pc, const tracked_set& tracked, unwind_row& row) {
    row = unwind_row{};
    interpreter it{description, tracked, row, {}, {}, 0, description.pc_begin, true};
    // The CIE's program sets the row every FDE starts from and restores to.
    if (!run(it, description.initial_program, description.initial_program_end, ~std::uintptr_t{0})) return false;
    it.initial = row;
    it.depth = 0;
    it.location = description.pc_begin;
    return run(it, description.program, description.program_end, pc);
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
