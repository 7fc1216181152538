#include "platform/posix/unwind/dwarf_expression.hpp"

#include "platform/posix/unwind/byte_reader.hpp"
#include "platform/posix/unwind/stack_memory.hpp"

namespace korvo {
namespace calltrail {
namespace posix_unwind {
namespace {

enum : std::uint8_t {
    op_deref = 0x06,
    op_const1u = 0x08,
    op_const1s = 0x09,
    op_const2u = 0x0a,
    op_const2s = 0x0b,
    op_const4u = 0x0c,
    op_const4s = 0x0d,
    op_const8u = 0x0e,
    op_const8s = 0x0f,
    op_constu = 0x10,
    op_consts = 0x11,
    op_dup = 0x12,
    op_drop = 0x13,
    op_over = 0x14,
    op_swap = 0x16,
    op_and = 0x1a,
    op_minus = 0x1c,
    op_mul = 0x1e,
    op_neg = 0x1f,
    op_not = 0x20,
    op_or = 0x21,
    op_plus = 0x22,
    op_plus_uconst = 0x23,
    op_shl = 0x24,
    op_shr = 0x25,
    op_shra = 0x26,
    op_xor = 0x27,
    op_eq = 0x29,
    op_ge = 0x2a,
    op_gt = 0x2b,
    op_le = 0x2c,
    op_lt = 0x2d,
    op_ne = 0x2e,
    op_lit0 = 0x30,
    op_lit31 = 0x4f,
    op_breg0 = 0x70,
    op_breg31 = 0x8f,
    op_bregx = 0x92,
    op_nop = 0x96,
};

constexpr unsigned stack_depth = 8;

struct machine {
    std::uintptr_t stack[stack_depth];
    unsigned size = 0;
    bool ok = true;

    void push(std::uintptr_t value) {
        if (size == stack_depth) {
            ok = false;
            return;
        }
        stack[size++] = value;
    }
    std::uintptr_t pop() {
        if (size == 0) {
            ok = false;
            return 0;
        }
        return stack[--size];
    }
};

std::uintptr_t register_value(const expression_context& context, std::uint64_t number, bool& ok) {
    if (number >= context.register_count || (context.known & (std::uint32_t{1} << number)) == 0) {
        ok = false;
        return 0;
    }
    return context.registers[number];
}

bool is_binary(std::uint8_t op) {
    return op == op_and || op == op_minus || op == op_mul || op == op_or || op == op_plus ||
           (op >= op_shl && op <= op_xor) || (op >= op_eq && op <= op_ne);
}

bool binary(machine& m, std::uint8_t op) {
    if (!is_binary(op)) return false;
    const std::uintptr_t b = m.pop();
    const std::uintptr_t a = m.pop();
    const auto sa = static_cast<std::intptr_t>(a);
    const auto sb = static_cast<std::intptr_t>(b);
    switch (op) {
    case op_and:
        m.push(a & b);
        break;
    case op_minus:
        m.push(a - b);
        break;
    case op_mul:
        m.push(a * b);
        break;
    case op_or:
        m.push(a | b);
        break;
    case op_plus:
        m.push(a + b);
        break;
    case op_shl:
        m.push(b < 64 ? a << b : 0);
        break;
    case op_shr:
        m.push(b < 64 ? a >> b : 0);
        break;
    case op_shra:
        m.push(static_cast<std::uintptr_t>(b < 64 ? sa >> b : (sa < 0 ? -1 : 0)));
        break;
    case op_xor:
        m.push(a ^ b);
        break;
    case op_eq:
        m.push(sa == sb);
        break;
    case op_ge:
        m.push(sa >= sb);
        break;
    case op_gt:
        m.push(sa > sb);
        break;
    case op_le:
        m.push(sa <= sb);
        break;
    case op_lt:
        m.push(sa < sb);
        break;
    case op_ne:
        m.push(sa != sb);
        break;
    default:
        return false;
    }
    return true;
}

bool constant(machine& m, byte_reader& in, std::uint8_t op) {
    switch (op) {
    case op_const1u:
        m.push(in.u8());
        break;
    case op_const1s:
        m.push(static_cast<std::uintptr_t>(std::intptr_t{in.s8()}));
        break;
    case op_const2u:
        m.push(in.u16());
        break;
    case op_const2s:
        m.push(static_cast<std::uintptr_t>(std::intptr_t{in.s16()}));
        break;
    case op_const4u:
        m.push(in.u32());
        break;
    case op_const4s:
        m.push(static_cast<std::uintptr_t>(std::intptr_t{in.s32()}));
        break;
    case op_const8u:
        m.push(in.u64());
        break;
    case op_const8s:
        m.push(static_cast<std::uintptr_t>(in.s64()));
        break;
    case op_constu:
        m.push(in.uleb128());
        break;
    case op_consts:
        m.push(static_cast<std::uintptr_t>(in.sleb128()));
        break;
    default:
        return false;
    }
    return true;
}

bool stack_operation(machine& m, byte_reader& in, std::uint8_t op, const expression_context& context) {
    switch (op) {
    case op_dup:
    case op_over: {
        const unsigned back = op == op_dup ? 1 : 2;
        if (m.size < back) return false;
        m.push(m.stack[m.size - back]);
        break;
    }
    case op_drop:
        m.pop();
        break;
    case op_swap: {
        const std::uintptr_t b = m.pop();
        const std::uintptr_t a = m.pop();
        m.push(b);
        m.push(a);
        break;
    }
    case op_neg:
        m.push(0 - m.pop());
        break;
    case op_not:
        m.push(~m.pop());
        break;
    case op_plus_uconst:
        m.push(m.pop() + in.uleb128());
        break;
    case op_deref: {
        const std::uintptr_t address = m.pop();
        if (address < context.readable_low || address >= context.readable_high ||
            context.readable_high - address < sizeof(void*) || address % sizeof(void*) != 0)
            return false;
        m.push(read_stack_word(address));
        break;
    }
    case op_nop:
        break;
    default:
        return false;
    }
    return true;
}

bool operation(machine& m, byte_reader& in, std::uint8_t op, const expression_context& context) {
    if (op >= op_lit0 && op <= op_lit31) {
        m.push(op - op_lit0);
        return true;
    }
    if ((op >= op_breg0 && op <= op_breg31) || op == op_bregx) {
        const std::uint64_t number = op == op_bregx ? in.uleb128() : std::uint64_t{op} - op_breg0;
        const std::uintptr_t base = register_value(context, number, m.ok);
        m.push(base + static_cast<std::uintptr_t>(in.sleb128()));
        return true;
    }
    return constant(m, in, op) || binary(m, op) || stack_operation(m, in, op, context);
}

} // namespace

bool evaluate(const std::uint8_t* block, const expression_context& context, const std::uintptr_t* initial,
              std::uintptr_t& result) {
    byte_reader length(block, block + 16);
    const std::uint64_t size = length.uleb128();
    if (!length.ok() || size > 256) return false;
    byte_reader in(length.position(), length.position() + size);
    machine m;
    if (initial != nullptr) m.push(*initial);
    while (m.ok && in.ok() && in.left() > 0)
        if (!operation(m, in, in.u8(), context)) return false;
    if (!m.ok || !in.ok() || m.size == 0) return false;
    result = m.stack[m.size - 1];
    return true;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
