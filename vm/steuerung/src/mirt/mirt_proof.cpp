// The verification of a method and its fixed store. Two passes: the first follows every path
// and proves the depths (the facts), the second makes the unchecked body's steps, choosing
// the fused steps through the selector (mirt_fused.cpp).
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
    // The step of this opcode whose tag is the value's; a float or double for any other.
    const bool first_tag = load.value.type == TYPE_INT || load.value.type == TYPE_LONG;
    for (const fused_pattern& pattern : fused_patterns) {
        const fused_part& part = pattern.parts[0];
        if (part.kind == fused_part_kind::known_constant && part.low == d.op &&
            (part.tag == TYPE_INT || part.tag == TYPE_LONG) == first_tag)
            step[0].handler = pattern.step;
    }
    step[0].value = load.value.value.U32;
    if (two_words) step[1].value = static_cast<u32>(load.value.value.U64 >> 32);
}

// The first pass: every path from offset 0, each offset visited once with the depth and
// prefix state it must have; sets the proof's lowest and highest depth. Answers false as
// soon as anything is found that only the checks of the checked body handle the way the VM
// does.
bool reach_every_path(method_proof& proof, const class_image& image, const code_info& code) {
    const u8* bytes = code.begin;
    const u32 length = proof.length;
    u8* fact = facts + proof.facts;
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
        const int low = depth - entries_taken(effect);
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
    proof.lowest = static_cast<s8>(lowest);
    proof.highest = static_cast<s8>(highest);
    return true;
}

// The second pass, over the offsets the first reached.
void make_steps(const method_proof& proof, const class_image& image, const code_info& code) {
    const u8* bytes = code.begin;
    const u32 length = proof.length;
    const u8* fact = facts + proof.facts;
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
}

// The proof of a method whose record is `proof` (its facts start at the first free one).
bool prove(method_proof& proof, const class_image& image, const code_info& code) {
    const u32 length = static_cast<u32>(code.end - code.begin);
    if (length == 0 || length > static_cast<u32>(MAX_PACKAGE_SIZE - facts_used)) return false;
    proof.facts = facts_used;
    proof.length = static_cast<u16>(length);
    u8* fact = facts + facts_used;
    std::fill(fact, fact + length, NOT_REACHED);
    if (!reach_every_path(proof, image, code)) return false;
    make_steps(proof, image, code);
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
