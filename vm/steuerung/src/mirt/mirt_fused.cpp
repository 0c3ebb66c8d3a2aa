// The selector of fused steps: which step of mirt_fused.h's list runs the instructions from
// an offset, for the proof's second pass.
#include <iterator>

#include "mirt_fused.h"
#include "mirt_opcodes.h"
#include "mirt_proof.h"

namespace {

using namespace proof_store;

// The bytes of the int constant load whose value the step at its offset holds (iconst_<n>,
// bipush, sipush, or an ldc or ldc_w whose constant the pass read); 0 for anything else.
// `handler`: the step's, which for such an ldc is either the int load's own or an operation
// with a constant that begins with it.
constexpr u32 int_constant_length(u8 op, u16 handler) {
    const bool read_int = fused_begins_with_int_constant(handler);
    if (op >= OP_iconst_m1 && op <= OP_iconst_5) return 1;
    if (op == OP_bipush || (op == OP_ldc && read_int)) return 2;
    if (op == OP_sipush || (op == OP_ldc_w && read_int)) return 3;
    return 0;
}

// Whether `part` can begin with `op` (a constant part without looking at the pass's
// reading: an ldc may be one).
constexpr bool part_may_begin(const fused_part& part, u8 op) {
    if (part.kind != fused_part_kind::constant) return op >= part.low && op <= part.high;
    switch (part.bytes) {
    case 1: return op >= OP_iconst_m1 && op <= OP_iconst_5;
    case 2: return op == OP_bipush || op == OP_ldc;
    default: return op == OP_sipush || op == OP_ldc_w;
    }
}

// The steps whose pattern may begin with each opcode, by step number: the selector looks
// only at these.
constexpr int candidate_count() {
    int used = 0;
    for (int op = 0; op < 256; ++op)
        for (const fused_pattern& pattern : fused_patterns)
            used += pattern.parts[0].kind != fused_part_kind::known_constant &&
                    part_may_begin(pattern.parts[0], static_cast<u8>(op));
    return used;
}
struct fused_candidates {
    u16 first[257] = {}; // of each opcode, its first entry in `steps`; the end after it
    u8 steps[candidate_count()] = {};
};
constexpr fused_candidates make_candidates() {
    fused_candidates c;
    int used = 0;
    for (int op = 0; op < 256; ++op) {
        c.first[op] = static_cast<u16>(used);
        for (int k = 0; k < FUSED_STEP_COUNT; ++k)
            if (fused_patterns[k].parts[0].kind != fused_part_kind::known_constant &&
                part_may_begin(fused_patterns[k].parts[0], static_cast<u8>(op)))
                c.steps[used++] = static_cast<u8>(k);
    }
    c.first[256] = static_cast<u16>(used);
    return c;
}
static_assert(FUSED_STEP_COUNT < 256);
constexpr fused_candidates candidates = make_candidates();

// Whether the instructions from `at` are the sequence of `pattern`.
bool pattern_matches(const fused_pattern& pattern, const u8* bytes, u32 length,
                     const code_step* step, u32 at) {
    for (int k = 0; k < pattern.count; ++k) {
        if (at >= length) return false;
        const fused_part& part = pattern.parts[k];
        const u8 op = bytes[at];
        if (part.kind == fused_part_kind::constant) {
            if (int_constant_length(op, step[at].handler) != part.bytes) return false;
        } else if (op < part.low || op > part.high) {
            return false;
        }
        at += part.bytes;
    }
    return true;
}
} // namespace

// The handler the unchecked body runs the instruction at `at` with, of a method whose facts
// are found and whose steps after `at` are made: the fused step with the longest pattern
// that the instructions from there (all reached, none under a wide prefix: a prefix before
// the first would be pending through the loads) form, else the handler made so far. Each
// instruction of a sequence is the one before's next, so the pass reached and checked it.
u16 fused_handler(const u8* bytes, u32 length, const u8* fact, const code_step* step, u32 at) {
    if (fact_wide(fact[at])) return step[at].handler;
    const u8 op = bytes[at];
    u16 chosen = step[at].handler;
    int chosen_parts = 0;
    for (int k = candidates.first[op]; k < candidates.first[op + 1]; ++k) {
        const fused_pattern& pattern = fused_patterns[candidates.steps[k]];
        if (pattern.count > chosen_parts && pattern_matches(pattern, bytes, length, step, at)) {
            chosen = pattern.step;
            chosen_parts = pattern.count;
        }
    }
    return chosen;
}
