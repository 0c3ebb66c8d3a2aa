// What one pass over a method's code proves before the method runs in the interpreter body
// without the per-instruction checks: every instruction's operands lie inside the code,
// every branch target is the start of an instruction inside the code, no path runs past
// the end, the local a load, store or iinc names exists, and the operand stack depth at
// each instruction is fixed relative to the method's entry, with its lowest and highest
// point. A call's effect is taken from its constant's descriptor; the interpreter checks
// after every call that the depth it finds still lies inside the proven range.
//
// The proofs live in fixed storage, made on a method's first use and kept until
// clear_proofs; nothing is allocated.
#pragma once

#include "mirt_facts.h"
#include "mirt_image.h"

// Steps the unchecked body runs in place of opcodes. Sequences javac emits in loops, each
// run as one step:
// - the loop head comparing two register locals (iload_<a> iload_<b> if_icmp<cond>) or one
//   with an int constant (iload_<a>, bipush or an ldc whose constant the pass read,
//   if_icmp<cond>);
// - a comparison of two longs, floats or doubles and the branch on its result (lcmp,
//   fcmp<l|g> or dcmp<l|g>, if<cond>);
// - an operation with an int constant: iconst_<n>, bipush, sipush, or an ldc or ldc_w whose
//   constant the pass read, then iadd, isub, imul, iand, ior, ixor, ishl, ishr, iushr, lshl,
//   lshr or lushr; by the bytes of the load;
// - the compound assignment of an int operation of two register locals to one (iload_<a>
//   iload_<b> <op> istore_<c>);
// - a register local with an int constant as above, then an int operation (iload_<a>, the
//   constant, one of iadd to iushr); by the bytes of the load;
// - an int operation from iadd to iushr and the store of its result in a register local
//   (<op> istore_<c>);
// - the increment of a register local without a wide prefix, alone or before a goto (the
//   loop end).
// And the constant loads whose constant the pass read, by opcode and the tag of the value,
// which push that value. They are numbered after the 256 opcodes, in this order; within a
// family, the handlers follow the order of the opcodes that tell them apart.
// clang-format off
#define MIRT_FUSED_STEP_LIST(X)                                                                    \
    X(compare_locals_eq)                                                                           \
    X(compare_locals_ne)                                                                           \
    X(compare_locals_lt)                                                                           \
    X(compare_locals_ge)                                                                           \
    X(compare_locals_gt)                                                                           \
    X(compare_locals_le)                                                                           \
    X(compare_local_constant_eq)                                                                   \
    X(compare_local_constant_ne)                                                                   \
    X(compare_local_constant_lt)                                                                   \
    X(compare_local_constant_ge)                                                                   \
    X(compare_local_constant_gt)                                                                   \
    X(compare_local_constant_le)                                                                   \
    X(lcmp_ifeq)                                                                                   \
    X(lcmp_ifne)                                                                                   \
    X(lcmp_iflt)                                                                                   \
    X(lcmp_ifge)                                                                                   \
    X(lcmp_ifgt)                                                                                   \
    X(lcmp_ifle)                                                                                   \
    X(fcmp_ifeq)                                                                                   \
    X(fcmp_ifne)                                                                                   \
    X(fcmp_iflt)                                                                                   \
    X(fcmp_ifge)                                                                                   \
    X(fcmp_ifgt)                                                                                   \
    X(fcmp_ifle)                                                                                   \
    X(dcmp_ifeq)                                                                                   \
    X(dcmp_ifne)                                                                                   \
    X(dcmp_iflt)                                                                                   \
    X(dcmp_ifge)                                                                                   \
    X(dcmp_ifgt)                                                                                   \
    X(dcmp_ifle)                                                                                   \
    X(constant1_iadd)                                                                              \
    X(constant1_isub)                                                                              \
    X(constant1_imul)                                                                              \
    X(constant1_iand)                                                                              \
    X(constant1_ior)                                                                               \
    X(constant1_ixor)                                                                              \
    X(constant1_ishl)                                                                              \
    X(constant1_ishr)                                                                              \
    X(constant1_iushr)                                                                             \
    X(constant1_lshl)                                                                              \
    X(constant1_lshr)                                                                              \
    X(constant1_lushr)                                                                             \
    X(constant2_iadd)                                                                              \
    X(constant2_isub)                                                                              \
    X(constant2_imul)                                                                              \
    X(constant2_iand)                                                                              \
    X(constant2_ior)                                                                               \
    X(constant2_ixor)                                                                              \
    X(constant2_ishl)                                                                              \
    X(constant2_ishr)                                                                              \
    X(constant2_iushr)                                                                             \
    X(constant2_lshl)                                                                              \
    X(constant2_lshr)                                                                              \
    X(constant2_lushr)                                                                             \
    X(constant3_iadd)                                                                              \
    X(constant3_isub)                                                                              \
    X(constant3_imul)                                                                              \
    X(constant3_iand)                                                                              \
    X(constant3_ior)                                                                               \
    X(constant3_ixor)                                                                              \
    X(constant3_ishl)                                                                              \
    X(constant3_ishr)                                                                              \
    X(constant3_iushr)                                                                             \
    X(constant3_lshl)                                                                              \
    X(constant3_lshr)                                                                              \
    X(constant3_lushr)                                                                             \
    X(assign_iadd)                                                                                 \
    X(assign_isub)                                                                                 \
    X(assign_imul)                                                                                 \
    X(assign_iand)                                                                                 \
    X(assign_ior)                                                                                  \
    X(assign_ixor)                                                                                 \
    X(local_constant1_iadd)                                                                        \
    X(local_constant1_isub)                                                                        \
    X(local_constant1_imul)                                                                        \
    X(local_constant1_iand)                                                                        \
    X(local_constant1_ior)                                                                         \
    X(local_constant1_ixor)                                                                        \
    X(local_constant1_ishl)                                                                        \
    X(local_constant1_ishr)                                                                        \
    X(local_constant1_iushr)                                                                       \
    X(local_constant2_iadd)                                                                        \
    X(local_constant2_isub)                                                                        \
    X(local_constant2_imul)                                                                        \
    X(local_constant2_iand)                                                                        \
    X(local_constant2_ior)                                                                         \
    X(local_constant2_ixor)                                                                        \
    X(local_constant2_ishl)                                                                        \
    X(local_constant2_ishr)                                                                        \
    X(local_constant2_iushr)                                                                       \
    X(local_constant3_iadd)                                                                        \
    X(local_constant3_isub)                                                                        \
    X(local_constant3_imul)                                                                        \
    X(local_constant3_iand)                                                                        \
    X(local_constant3_ior)                                                                         \
    X(local_constant3_ixor)                                                                        \
    X(local_constant3_ishl)                                                                        \
    X(local_constant3_ishr)                                                                        \
    X(local_constant3_iushr)                                                                       \
    X(iadd_istore)                                                                                 \
    X(isub_istore)                                                                                 \
    X(imul_istore)                                                                                 \
    X(iand_istore)                                                                                 \
    X(ior_istore)                                                                                  \
    X(ixor_istore)                                                                                 \
    X(ishl_istore)                                                                                 \
    X(ishr_istore)                                                                                 \
    X(iushr_istore)                                                                                \
    X(increment)                                                                                   \
    X(increment_goto)                                                                              \
    X(ldc_int)                                                                                     \
    X(ldc_float)                                                                                   \
    X(ldc_w_int)                                                                                   \
    X(ldc_w_float)                                                                                 \
    X(ldc2_w_long)                                                                                 \
    X(ldc2_w_double)
// clang-format on

enum fused_step : u16 {
#define MIRT_FUSED_STEP_ENUM(name) FUSED_##name,
    FUSED_BEFORE_FIRST = 255,
    MIRT_FUSED_STEP_LIST(MIRT_FUSED_STEP_ENUM)
#undef MIRT_FUSED_STEP_ENUM
        HANDLER_COUNT // opcodes and fused steps
};

// What the unchecked body needs at a code offset of a method whose proof holds.
struct code_step {
    // The instructions from the one at this offset (also from one of its operand bytes) to
    // the end of its straight run, through conditional branches up to and including the
    // goto that ends it, short of a call or return (each counted on its own). An unchecked
    // body counts a run when it begins it, and gives back the rest at a branch it takes.
    u16 run = 0;
    // At an instruction's start, the handler that runs it: its opcode, or the fused step
    // that begins with it.
    u16 handler = 0;
    // At an iconst_<n>, bipush, sipush and a constant load whose constant the pass read, the
    // value it pushes (of an ldc2_w, the low half, and the high half in the entry after); at
    // a conditional branch, goto and goto_w, the offset of its target.
    u32 value = 0;
};

struct method_proof {
    u32 image = 0;      // base of the method's class image
    u16 method = 0;     // its index there
    bool holds = false; // false: only the checked body runs this method
    s8 lowest = 0;      // lowest depth any instruction takes the stack to, relative to entry
    s8 highest = 0;     // highest depth, likewise
    u16 facts = 0;      // first of the method's entries in the fact store
    u16 length = 0;     // code bytes
    bool used = false;
};

// The store, open addressing by image and method; inline below because every call and
// return looks a proof up.
namespace proof_store {
constexpr u32 ENTRIES = 64;
extern method_proof proofs[ENTRIES];
constexpr u32 home(u32 image, u16 method) { return (method + (image >> 3)) % ENTRIES; }

// One fact per code byte of every proven method: 0 where no path reaches, OPERAND_BYTE on
// an operand, otherwise the depth relative to entry and whether a wide prefix is pending
// when the instruction starting there runs.
constexpr u8 NOT_REACHED = 0;
constexpr u8 OPERAND_BYTE = 1;
constexpr u8 WIDE_PENDING = 0x80;
constexpr int DEPTH_ZERO = 64;
extern u8 facts[];
// Beside each fact, what the unchecked body needs at that offset (see proof_steps).
extern code_step steps[];
constexpr int fact_depth(u8 fact) { return (fact & ~WIDE_PENDING) - DEPTH_ZERO; }
constexpr bool fact_wide(u8 fact) { return fact & WIDE_PENDING; }

[[gnu::noinline]] const method_proof* find_or_prove(const class_image& image, u16 method,
                                                    const code_info& code);
} // namespace proof_store

// The proof of `method` of `image`, whose code `code()` answers; made on first use. Null
// when the store is full.
// Hazard: the code must be the method's code inside the image's loaded bytes, as
// enter_code finds it; a proof is valid only as long as those bytes are loaded (see
// clear_proofs).
template <class Code>
inline const method_proof* proof_of(const class_image& image, u16 method, Code code) {
    const method_proof& home = proof_store::proofs[proof_store::home(image.base, method)];
    if (home.used && home.image == image.base && home.method == method) [[likely]]
        return &home;
    return proof_store::find_or_prove(image, method, code());
}

// Whether the method may go on unchecked from the instruction at code offset `offset`, with
// `depth` entries on the operand stack and the wide prefix pending or not: the offset starts
// an instruction the proof reached in that prefix state, and the entry depth it implies
// keeps every instruction inside the stack. Inlined only where a run is made without
// leaving the interpreter's registers (calls and returns through kept sites): in every other
// place that looks, it would crowd them.
[[gnu::always_inline]] inline bool inline_proof_allows(const method_proof& proof, u32 offset,
                                                       int depth, bool wide_pending) {
    using namespace proof_store;
    if (!proof.holds || offset >= proof.length) return false;
    const u8 fact = facts[proof.facts + offset];
    if (fact == NOT_REACHED || fact == OPERAND_BYTE || fact_wide(fact) != wide_pending)
        return false;
    const int entry = depth - fact_depth(fact);
    return entry + proof.lowest >= 0 && entry + proof.highest <= STACK_LIMIT;
}
inline bool proof_allows(const method_proof& proof, u32 offset, int depth, bool wide_pending) {
    return inline_proof_allows(proof, offset, depth, wide_pending);
}

// Of a method whose proof holds, its steps by code offset.
inline const code_step* proof_steps(const method_proof& proof) {
    return proof_store::steps + proof.facts;
}

// Forgets every proof; whenever other bytes may be loaded.
void clear_proofs();
