// The verification pass and its fixed store.
#include "mirt_proof.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "mirt_constant.h"
#include "mirt_descriptor.h"
#include "mirt_facts.h"
#include "mirt_opcodes.h"

namespace proof_store {
method_proof proofs[ENTRIES];
// A package holds at most MAX_PACKAGE_SIZE code bytes, so the facts fill only when image
// records share or overlap code.
u8 facts[MAX_PACKAGE_SIZE];
code_step steps[MAX_PACKAGE_SIZE];
} // namespace proof_store

namespace {

using namespace proof_store;

u16 facts_used = 0;
u16 worklist[MAX_PACKAGE_SIZE];

// No activation starts deeper than STACK_LIMIT or below 0, so a method whose depth moves
// further than that either way can never run unchecked.
constexpr int DEPTH_REACH = STACK_LIMIT;

constexpr u8 instruction_fact(int depth, bool wide_pending) {
    return static_cast<u8>((depth + DEPTH_ZERO) | (wide_pending ? WIDE_PENDING : 0));
}
static_assert(instruction_fact(-DEPTH_REACH, false) > OPERAND_BYTE);
static_assert(instruction_fact(DEPTH_REACH, false) < WIDE_PENDING);

struct unreadable {};
[[noreturn]] void give_up(image_problem, s64, s64) { throw unreadable{}; }

// Entries an instruction of `effect` puts back after taking its operands; -1 where the
// code alone does not fix the depth after it.
constexpr int entries_given(const stack_effect& effect) {
    switch (effect.kind) {
    case effect_kind::plain: return effect.gives != 0;
    case effect_kind::stack_form: return stack_form_gives(effect);
    case effect_kind::swap: return 2;
    case effect_kind::call: // resolved to a plain effect first
    case effect_kind::pop2: // one entry or two, as the tag on top says
    case effect_kind::unknown: break;
    }
    return -1;
}

// What an invokestatic of `constant` takes and gives, as the descriptor of its constant
// declares it (a plain effect); nothing when the constant cannot be read that far. The call itself
// runs checked code, and its real effect (a drive function's, what a callee leaves) is looked at
// again after it.
std::optional<stack_effect> declared_effect(const class_image& image, u16 constant) {
    const package_bytes bytes = image.bytes->with_problem_handler(give_up);
    const class_image quiet_image{&bytes, image.base};
    try {
        const std::optional<u32> record = quiet_image.find_constant(constant);
        if (!record) return std::nullopt;
        const u8 tag = quiet_image.constant_tag_at(*record);
        if (tag != CONSTANT_Methodref && tag != CONSTANT_InterfaceMethodref) return std::nullopt;
        const u32 name_and_type = quiet_image.constant(
            quiet_image.constant_u16(*record,
                                     CONSTANT_mirt_Methodref_info_struct::name_and_type_index),
            CONSTANT_NameAndType);
        const u16 descriptor = quiet_image.constant_u16(
            name_and_type, CONSTANT_mirt_NameAndType_info_struct::descriptor_index);
        const image_text text = quiet_image.utf8_slot(descriptor - 1u);
        const std::optional<descriptor_shape> shape =
            parse_descriptor(reinterpret_cast<const char*>(text.bytes), text.length);
        if (!shape) return std::nullopt;
        if (shape->parameters > STACK_ENTRIES) return std::nullopt;
        return stack_effect{effect_kind::plain, static_cast<u8>(shape->parameters),
                            static_cast<u8>(shape->return_letter == 'V' ? 0 : 1)};
    } catch (const unreadable&) {
        return std::nullopt;
    }
}

constexpr bool is_register_int_load(u8 op) { return op >= OP_iload_0 && op <= OP_iload_3; }
constexpr bool is_register_int_store(u8 op) { return op >= OP_istore_0 && op <= OP_istore_3; }

// The operations a fused step may end with, in the order of their steps: an assignment
// takes the first six, an operation of a register local with a constant or one stored the
// first nine, an operation with an int constant all. -1 for any other opcode.
constexpr int operation_with_int(u8 op) {
    constexpr u8 operations[] = {OP_iadd, OP_isub, OP_imul,  OP_iand, OP_ior,  OP_ixor,
                                 OP_ishl, OP_ishr, OP_iushr, OP_lshl, OP_lshr, OP_lushr};
    for (size_t k = 0; k < std::size(operations); ++k)
        if (operations[k] == op) return static_cast<int>(k);
    return -1;
}
constexpr int ASSIGNED_OPERATIONS = 6;
constexpr int INT_OPERATIONS = 9;
constexpr int CONSTANT_OPERATIONS = 12;

// The bytes of the int constant load whose value the step at its offset holds (iconst_<n>,
// bipush, sipush, or an ldc or ldc_w whose constant the pass read); 0 for anything else.
// `handler`: the step's, which for such an ldc is either the int load's own or an operation
// with a constant that begins with it.
constexpr u32 int_constant_length(u8 op, u16 handler) {
    const bool read_int = handler == FUSED_ldc_int || handler == FUSED_ldc_w_int ||
                          (handler >= FUSED_constant1_iadd && handler <= FUSED_constant3_lushr);
    if (op >= OP_iconst_m1 && op <= OP_iconst_5) return 1;
    if (op == OP_bipush || (op == OP_ldc && read_int)) return 2;
    if (op == OP_sipush || (op == OP_ldc_w && read_int)) return 3;
    return 0;
}

static_assert(FUSED_fcmp_ifeq - FUSED_lcmp_ifeq == OP_ifle - OP_ifeq + 1 &&
              FUSED_dcmp_ifeq - FUSED_fcmp_ifeq == OP_ifle - OP_ifeq + 1 &&
              OP_fcmpg - OP_lcmp == 2 && OP_dcmpg - OP_lcmp == 4);
static_assert(FUSED_assign_ixor - FUSED_assign_iadd == ASSIGNED_OPERATIONS - 1 &&
              FUSED_constant1_lushr - FUSED_constant1_iadd == CONSTANT_OPERATIONS - 1 &&
              FUSED_constant2_iadd - FUSED_constant1_iadd == CONSTANT_OPERATIONS &&
              FUSED_constant3_iadd - FUSED_constant2_iadd == CONSTANT_OPERATIONS &&
              FUSED_compare_locals_le - FUSED_compare_locals_eq == OP_if_icmple - OP_if_icmpeq &&
              FUSED_compare_local_constant_le - FUSED_compare_local_constant_eq ==
                  OP_if_icmple - OP_if_icmpeq &&
              FUSED_local_constant1_iushr - FUSED_local_constant1_iadd == INT_OPERATIONS - 1 &&
              FUSED_local_constant2_iadd - FUSED_local_constant1_iadd == INT_OPERATIONS &&
              FUSED_local_constant3_iadd - FUSED_local_constant2_iadd == INT_OPERATIONS &&
              FUSED_iushr_istore - FUSED_iadd_istore == INT_OPERATIONS - 1);

// The handler the unchecked body runs the instruction at `at` with, of a method whose facts
// are found and whose steps after `at` are made: a fused step where the instructions from
// there (all reached, none under a wide prefix: a prefix before the first would be pending
// through the loads) form one, else the handler made so far. Each instruction of a sequence
// is the one before's next, so the pass reached and checked it; a byte after the code reads
// as nop, which fuses with nothing.
u16 fused_handler(const u8* bytes, u32 length, const u8* fact, const code_step* step, u32 at) {
    const u8 op = bytes[at];
    if (fact_wide(fact[at])) return step[at].handler;
    auto op_at = [&](u32 offset) { return offset < length ? bytes[offset] : u8{OP_nop}; };
    auto is_comparison = [](u8 opcode) { return opcode >= OP_if_icmpeq && opcode <= OP_if_icmple; };
    if (op == OP_iinc) return op_at(at + 3) == OP_goto ? FUSED_increment_goto : FUSED_increment;
    const u8 following = op_at(at + 1);
    if (const int operation = operation_with_int(op);
        operation >= 0 && operation < INT_OPERATIONS && is_register_int_store(following))
        return static_cast<u16>(FUSED_iadd_istore + operation);
    if (op >= OP_lcmp && op <= OP_dcmpg && following >= OP_ifeq && following <= OP_ifle) {
        const int family = op == OP_lcmp ? 0 : op <= OP_fcmpg ? 1 : 2;
        return static_cast<u16>(FUSED_lcmp_ifeq + family * (FUSED_fcmp_ifeq - FUSED_lcmp_ifeq) +
                                (following - OP_ifeq));
    }
    if (const u32 load_bytes = int_constant_length(op, step[at].handler); load_bytes != 0) {
        const int operation = operation_with_int(op_at(at + load_bytes));
        if (operation < 0) return step[at].handler;
        return static_cast<u16>(FUSED_constant1_iadd +
                                static_cast<int>(load_bytes - 1) * CONSTANT_OPERATIONS + operation);
    }
    if (!is_register_int_load(op)) return step[at].handler;
    if (is_register_int_load(following)) {
        const u8 third = op_at(at + 2);
        if (is_comparison(third))
            return static_cast<u16>(FUSED_compare_locals_eq + (third - OP_if_icmpeq));
        const int operation = operation_with_int(third);
        if (operation >= 0 && operation < ASSIGNED_OPERATIONS &&
            is_register_int_store(op_at(at + 3)))
            return static_cast<u16>(FUSED_assign_iadd + operation);
    }
    // An int constant, its value among the steps.
    const u32 constant_bytes =
        at + 1 < length ? int_constant_length(following, step[at + 1].handler) : 0;
    if (constant_bytes == 2 && is_comparison(op_at(at + 3)))
        return static_cast<u16>(FUSED_compare_local_constant_eq + (op_at(at + 3) - OP_if_icmpeq));
    if (constant_bytes != 0) {
        const int operation = operation_with_int(op_at(at + 1 + constant_bytes));
        if (operation >= 0 && operation < INT_OPERATIONS)
            return static_cast<u16>(FUSED_local_constant1_iadd +
                                    static_cast<int>(constant_bytes - 1) * INT_OPERATIONS +
                                    operation);
    }
    return step[at].handler;
}

// Makes the constant load `d` (no wide prefix pending) push its value in the unchecked body
// when the pass can read its constant the way the VM does; a load it cannot read keeps
// its opcode, whose checked read faults as before.
void keep_known_constant(const class_image& image, const decoded_instruction& d, code_step* step) {
    const package_bytes bytes = image.bytes->with_problem_handler(give_up);
    const class_image quiet_image{&bytes, image.base};
    const bool two_words = d.op == OP_ldc2_w;
    constant_load load;
    try {
        load = load_constant(quiet_image, static_cast<u16>(d.operand), two_words);
    } catch (const unreadable&) {
        return;
    }
    if (load.end != constant_end::found) return;
    const bool first_tag = load.value.type == TYPE_INT || load.value.type == TYPE_LONG;
    switch (d.op) {
    case OP_ldc: step[0].handler = first_tag ? FUSED_ldc_int : FUSED_ldc_float; break;
    case OP_ldc_w: step[0].handler = first_tag ? FUSED_ldc_w_int : FUSED_ldc_w_float; break;
    default: step[0].handler = first_tag ? FUSED_ldc2_w_long : FUSED_ldc2_w_double; break;
    }
    step[0].value = load.value.value.U32;
    if (two_words) step[1].value = static_cast<u32>(load.value.value.U64 >> 32);
}

// The pass: every path from offset 0, each offset visited once with the depth and prefix
// state it must have. Answers false as soon as anything is found that only the checks of
// the checked body handle the way the VM does.
bool prove(method_proof& proof, const class_image& image, const code_info& code) {
    const u8* bytes = code.begin;
    const u32 length = static_cast<u32>(code.end - code.begin);
    if (length == 0 || length > static_cast<u32>(MAX_PACKAGE_SIZE - facts_used)) return false;
    proof.facts = facts_used;
    proof.length = static_cast<u16>(length);
    u8* fact = facts + facts_used;
    std::fill(fact, fact + length, NOT_REACHED);
    int pending = 0;
    // An instruction start reached with this state: the first time, or again alike.
    auto reach = [&](s64 at, int depth, bool wide_pending) {
        if (at < 0 || at >= length) return false;
        const u8 wanted = instruction_fact(depth, wide_pending);
        if (fact[at] == NOT_REACHED) {
            fact[at] = wanted;
            worklist[pending++] = static_cast<u16>(at);
            return true;
        }
        return fact[at] == wanted; // not an operand byte, nor another depth or prefix
    };
    int lowest = 0, highest = 0;
    reach(0, 0, false);
    while (pending > 0) {
        const u32 at = worklist[--pending];
        const int depth = fact_depth(fact[at]);
        const bool wide = fact_wide(fact[at]);
        const decoded_instruction d = decode_instruction(bytes, length, at, wide);
        const u8 op = d.op;
        if (!opcode_executed(op)) continue; // ends the run alike in either body
        const opcode_info& row = opcode_row(op);
        if (!d.fits) return false;
        for (u32 k = at + 1; k < d.next; ++k) {
            if (fact[k] != NOT_REACHED && fact[k] != OPERAND_BYTE) return false;
            fact[k] = OPERAND_BYTE;
        }
        // The indexed loads and stores take a wide prefix, and reach the method's locals;
        // iinc reaches the register locals.
        if (row.wide_operands &&
            d.operand >= (op == OP_iinc ? static_cast<u32>(REGISTER_LOCALS) : code.max_locals))
            return false;
        const bool wide_after = op == OP_wide || (wide && !row.wide_operands);

        stack_effect effect = row.effect;
        if (effect.kind == effect_kind::call) {
            if (wide) return false; // the callee would take the prefix
            const std::optional<stack_effect> declared =
                declared_effect(image, static_cast<u16>(d.operand));
            if (!declared) return false;
            effect = *declared;
        }
        const int gives = entries_given(effect);
        if (gives < 0) return false;
        const int low = depth - (effect.kind == effect_kind::swap ? 2 : effect.takes);
        const int after = low + gives;
        lowest = std::min(lowest, low);
        highest = std::max({highest, depth, after});
        if (lowest < -DEPTH_REACH || highest > DEPTH_REACH) return false;

        switch (d.flow) {
        case control_flow::next:
        case control_flow::call:
            if (!reach(d.next, after, wide_after)) return false;
            break;
        case control_flow::branch:
            if (!reach(d.target, after, wide_after) || !reach(d.next, after, wide_after))
                return false;
            break;
        case control_flow::jump:
            if (!reach(d.target, after, wide_after)) return false;
            break;
        case control_flow::return_:
        case control_flow::switch_:
        case control_flow::refused: break;
        }
    }
    // Straight runs, from the end: a run goes on through instructions that fall through and
    // through conditional branches (one taken gives back the rest), takes in a goto (it
    // ends there), and stops short of a call, a return and an instruction the VM refuses,
    // which are counted one by one.
    code_step* step = steps + proof.facts;
    for (u32 at = length; at-- > 0;) {
        if (fact[at] == NOT_REACHED || fact[at] == OPERAND_BYTE) continue;
        const decoded_instruction d = decode_instruction(bytes, length, at, fact_wide(fact[at]));
        u16 count = 0;
        if (opcode_executed(d.op)) {
            switch (d.flow) {
            case control_flow::next:
            case control_flow::branch: count = static_cast<u16>(1 + step[d.next].run); break;
            case control_flow::jump: count = 1; break;
            case control_flow::return_:
            case control_flow::call:
            case control_flow::switch_:
            case control_flow::refused: break;
            }
        }
        // An instruction the VM refuses has no operands for the pass, so a branch may lead
        // into the bytes the JVM would read as its operands: their own steps stay.
        step[at] = code_step{count, d.op, 0};
        for (u32 k = at + 1; k < d.next && fact[k] == OPERAND_BYTE; ++k) step[k] = step[at];
        const bool loads_constant = d.op == OP_ldc || d.op == OP_ldc_w || d.op == OP_ldc2_w;
        if (loads_constant && !fact_wide(fact[at])) keep_known_constant(image, d, step + at);
        // a branch's or goto's offset, which the unchecked body need not decode
        if (d.flow == control_flow::branch || d.flow == control_flow::jump)
            step[at].value = static_cast<u32>(d.target - at);
        // the int constants in the code, sign-extended
        if (d.op >= OP_iconst_m1 && d.op <= OP_iconst_5)
            step[at].value = static_cast<u32>(d.op - OP_iconst_0);
        if (d.op == OP_bipush)
            step[at].value = static_cast<u32>(static_cast<s32>(d.operand ^ 0x80) - 0x80);
        if (d.op == OP_sipush)
            step[at].value = static_cast<u32>(static_cast<s32>(d.operand ^ 0x8000) - 0x8000);
        step[at].handler = fused_handler(bytes, length, fact, step, at);
    }
    proof.lowest = static_cast<s8>(lowest);
    proof.highest = static_cast<s8>(highest);
    facts_used = static_cast<u16>(facts_used + length);
    return true;
}

} // namespace

const method_proof* proof_store::find_or_prove(const class_image& image, u16 method,
                                               const code_info& code) {
    for (u32 probe = 0; probe < ENTRIES; ++probe) {
        method_proof& proof = proofs[(home(image.base, method) + probe) % ENTRIES];
        if (proof.used && proof.image == image.base && proof.method == method) return &proof;
        if (!proof.used) {
            proof = method_proof{image.base, method, false, 0, 0, 0, 0, true};
            proof.holds = prove(proof, image, code);
            return &proof;
        }
    }
    return nullptr;
}

void clear_proofs() {
    std::fill(std::begin(proofs), std::end(proofs), method_proof{});
    facts_used = 0;
}
