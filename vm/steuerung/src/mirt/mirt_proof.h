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
#include "mirt_fused.h"
#include "mirt_image.h"

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
