// The fused steps: sequences javac emits in loops, which the unchecked body runs as one step
// each. Every step is declared once, by the family row below that composes it from one
// operation or condition and a pattern of parts; its number (the enum below), the proof
// pass's selector (mirt_fused.cpp), the interpreter's handler (mirt_handlers.inc) and the
// unit test's row are all expanded from MIRT_FUSED_STEPS, so a step's pattern, the length of
// its constant and its body cannot disagree.
//
// The families, in the order of their numbers:
// - the loop head comparing two register locals (iload_<a> iload_<b> if_icmp<cond>) or one
//   with an int constant of two bytes (iload_<a>, bipush or an ldc whose constant the pass
//   read, if_icmp<cond>);
// - a comparison of two longs, floats or doubles and the branch on its result (lcmp,
//   fcmp<l|g> or dcmp<l|g>, if<cond>);
// - an operation with an int constant: iconst_<n>, bipush, sipush, or an ldc or ldc_w whose
//   constant the pass read, then an int operation or shift or a long shift; by the bytes of
//   the load;
// - the compound assignment of an int operation of two register locals to one (iload_<a>
//   iload_<b> <op> istore_<c>), for the operations that are not shifts;
// - a register local with an int constant as above, then an int operation or shift; by the
//   bytes of the load;
// - an int operation or shift and the store of its result in a register local
//   (<op> istore_<c>);
// - the increment of a register local without a wide prefix, alone or before a goto (the
//   loop end);
// - the constant loads whose constant the pass read, by opcode and the tag of the value,
//   which push that value (chosen by the pass from the constant, not by a pattern).
//
// A row is ROW(name, (parts...), body). The parts are the instructions in code order:
//   op_part(OP_x)          that opcode; its bytes from the opcode table
//   either_part(lo, hi)    an opcode from lo to hi, all of one length
//   load_part()            iload_<n> of a register local
//   store_part()           istore_<n> of a register local
//   constant_part(n)       an int constant load of n bytes (see int_constant_length)
//   known_part(OP_x, tag)  the constant load OP_x whose constant the pass read with `tag`
// The body is a macro of the interpreter (mirt_handlers.inc) with a, b the operands and the
// operation's or condition's expression.
#pragma once

#include <iterator>

#include "mirt_opcodes.h"

// clang-format off
// The operations: X(ROW, LEN, name, expression of a and b). The int operations that are not
// shifts, then the int shifts, then the long shifts (b the int distance).
#define MIRT_FUSED_INT_OPERATIONS(X, ROW, LEN) \
    X(ROW, LEN, iadd, add32(a, b))             \
    X(ROW, LEN, isub, sub32(a, b))             \
    X(ROW, LEN, imul, mul32(a, b))             \
    X(ROW, LEN, iand, a & b)                   \
    X(ROW, LEN, ior,  a | b)                   \
    X(ROW, LEN, ixor, a ^ b)
#define MIRT_FUSED_INT_SHIFTS(X, ROW, LEN)     \
    X(ROW, LEN, ishl,  shl32(a, b))            \
    X(ROW, LEN, ishr,  shr32(a, b))            \
    X(ROW, LEN, iushr, ushr32(a, b))
#define MIRT_FUSED_LONG_SHIFTS(X, ROW, LEN)    \
    X(ROW, LEN, lshl,  shl64(a, b))            \
    X(ROW, LEN, lshr,  shr64(a, b))            \
    X(ROW, LEN, lushr, ushr64(a, b))
// The conditions: X(ROW, LEN, name, operator), in the order of the opcodes that test them.
#define MIRT_FUSED_CONDITIONS(X, ROW, LEN) \
    X(ROW, LEN, eq, ==)                    \
    X(ROW, LEN, ne, !=)                    \
    X(ROW, LEN, lt, <)                     \
    X(ROW, LEN, ge, >=)                    \
    X(ROW, LEN, gt, >)                     \
    X(ROW, LEN, le, <=)

// The families: one operation or condition each, LEN the bytes of an int constant load.
#define MIRT_FUSED_COMPARE_LOCALS(ROW, LEN, cond, op)                                             \
    ROW(compare_locals_##cond, (load_part(), load_part(), op_part(OP_if_icmp##cond)),             \
        COMPARE_LOCALS(a op b))
#define MIRT_FUSED_COMPARE_LOCAL_CONSTANT(ROW, LEN, cond, op)                                     \
    ROW(compare_local_constant_##cond,                                                            \
        (load_part(), constant_part(LEN), op_part(OP_if_icmp##cond)),                             \
        COMPARE_LOCAL_CONSTANT(LEN, a op b))
#define MIRT_FUSED_LCMP(ROW, LEN, cond, op)                                                       \
    ROW(lcmp_if##cond, (op_part(OP_lcmp), op_part(OP_if##cond)), COMPARE_BRANCH(S64, a op 0))
#define MIRT_FUSED_FCMP(ROW, LEN, cond, op)                                                       \
    ROW(fcmp_if##cond, (either_part(OP_fcmpl, OP_fcmpg), op_part(OP_if##cond)),                   \
        COMPARE_BRANCH(F, a op 0))
#define MIRT_FUSED_DCMP(ROW, LEN, cond, op)                                                       \
    ROW(dcmp_if##cond, (either_part(OP_dcmpl, OP_dcmpg), op_part(OP_if##cond)),                   \
        COMPARE_BRANCH(D, a op 0))
#define MIRT_FUSED_CONSTANT_INT(ROW, LEN, name, expr)                                             \
    ROW(constant##LEN##_##name, (constant_part(LEN), op_part(OP_##name)),                         \
        CONSTANT_OPERATION(LEN, S32, put_int, expr))
#define MIRT_FUSED_CONSTANT_LONG(ROW, LEN, name, expr)                                            \
    ROW(constant##LEN##_##name, (constant_part(LEN), op_part(OP_##name)),                         \
        CONSTANT_OPERATION(LEN, S64, put_long, expr))
#define MIRT_FUSED_ASSIGN(ROW, LEN, name, expr)                                                   \
    ROW(assign_##name, (load_part(), load_part(), op_part(OP_##name), store_part()),              \
        ASSIGN(expr))
#define MIRT_FUSED_LOCAL_CONSTANT(ROW, LEN, name, expr)                                           \
    ROW(local_constant##LEN##_##name, (load_part(), constant_part(LEN), op_part(OP_##name)),      \
        LOCAL_CONSTANT_OPERATION(LEN, expr))
#define MIRT_FUSED_OPERATION_STORE(ROW, LEN, name, expr)                                          \
    ROW(name##_istore, (op_part(OP_##name), store_part()), OPERATION_STORE(expr))
#define MIRT_FUSED_KNOWN_CONSTANT(ROW, name, opcode, tag)                                         \
    ROW(name, (known_part(OP_##opcode, tag)), KNOWN_CONSTANT(OP_##opcode, tag))

#define MIRT_FUSED_CONSTANT_OPERATIONS(ROW, LEN)                                                  \
    MIRT_FUSED_INT_OPERATIONS(MIRT_FUSED_CONSTANT_INT, ROW, LEN)                                  \
    MIRT_FUSED_INT_SHIFTS(MIRT_FUSED_CONSTANT_INT, ROW, LEN)                                      \
    MIRT_FUSED_LONG_SHIFTS(MIRT_FUSED_CONSTANT_LONG, ROW, LEN)
#define MIRT_FUSED_LOCAL_CONSTANT_OPERATIONS(ROW, LEN)                                            \
    MIRT_FUSED_INT_OPERATIONS(MIRT_FUSED_LOCAL_CONSTANT, ROW, LEN)                                \
    MIRT_FUSED_INT_SHIFTS(MIRT_FUSED_LOCAL_CONSTANT, ROW, LEN)

// Every fused step, in the order of their numbers.
#define MIRT_FUSED_STEPS(ROW)                                                                     \
    MIRT_FUSED_CONDITIONS(MIRT_FUSED_COMPARE_LOCALS, ROW, 0)                                      \
    MIRT_FUSED_CONDITIONS(MIRT_FUSED_COMPARE_LOCAL_CONSTANT, ROW, 2)                              \
    MIRT_FUSED_CONDITIONS(MIRT_FUSED_LCMP, ROW, 0)                                                \
    MIRT_FUSED_CONDITIONS(MIRT_FUSED_FCMP, ROW, 0)                                                \
    MIRT_FUSED_CONDITIONS(MIRT_FUSED_DCMP, ROW, 0)                                                \
    MIRT_FUSED_CONSTANT_OPERATIONS(ROW, 1)                                                        \
    MIRT_FUSED_CONSTANT_OPERATIONS(ROW, 2)                                                        \
    MIRT_FUSED_CONSTANT_OPERATIONS(ROW, 3)                                                        \
    MIRT_FUSED_INT_OPERATIONS(MIRT_FUSED_ASSIGN, ROW, 0)                                          \
    MIRT_FUSED_LOCAL_CONSTANT_OPERATIONS(ROW, 1)                                                  \
    MIRT_FUSED_LOCAL_CONSTANT_OPERATIONS(ROW, 2)                                                  \
    MIRT_FUSED_LOCAL_CONSTANT_OPERATIONS(ROW, 3)                                                  \
    MIRT_FUSED_INT_OPERATIONS(MIRT_FUSED_OPERATION_STORE, ROW, 0)                                 \
    MIRT_FUSED_INT_SHIFTS(MIRT_FUSED_OPERATION_STORE, ROW, 0)                                     \
    ROW(increment, (op_part(OP_iinc)), INCREMENT)                                                 \
    ROW(increment_goto, (op_part(OP_iinc), op_part(OP_goto)), INCREMENT_GOTO)                     \
    MIRT_FUSED_KNOWN_CONSTANT(ROW, ldc_int, ldc, TYPE_INT)                                        \
    MIRT_FUSED_KNOWN_CONSTANT(ROW, ldc_float, ldc, TYPE_FLOAT)                                    \
    MIRT_FUSED_KNOWN_CONSTANT(ROW, ldc_w_int, ldc_w, TYPE_INT)                                    \
    MIRT_FUSED_KNOWN_CONSTANT(ROW, ldc_w_float, ldc_w, TYPE_FLOAT)                                \
    MIRT_FUSED_KNOWN_CONSTANT(ROW, ldc2_w_long, ldc2_w, TYPE_LONG)                                \
    MIRT_FUSED_KNOWN_CONSTANT(ROW, ldc2_w_double, ldc2_w, TYPE_DOUBLE)
// clang-format on

enum fused_step : u16 {
#define MIRT_FUSED_STEP_ENUM(name, ...) FUSED_##name,
    FUSED_BEFORE_FIRST = 255,
    MIRT_FUSED_STEPS(MIRT_FUSED_STEP_ENUM)
#undef MIRT_FUSED_STEP_ENUM
        HANDLER_COUNT // opcodes and fused steps
};

// The parts a step's pattern is made of (see above).
enum class fused_part_kind : u8 { opcode, constant, known_constant };
struct fused_part {
    fused_part_kind kind;
    u8 low, high; // the opcodes it takes
    u8 bytes;     // the instruction's length
    u8 tag;       // of a known constant
};
constexpr fused_part op_part(u8 op) {
    return {fused_part_kind::opcode, op, op, static_cast<u8>(1 + opcode_row(op).operands), 0};
}
constexpr fused_part either_part(u8 low, u8 high) {
    return {fused_part_kind::opcode, low, high, static_cast<u8>(1 + opcode_row(low).operands), 0};
}
constexpr fused_part load_part() { return either_part(OP_iload_0, OP_iload_3); }
constexpr fused_part store_part() { return either_part(OP_istore_0, OP_istore_3); }
constexpr fused_part constant_part(u8 bytes) {
    return {fused_part_kind::constant, 0, 0, bytes, TYPE_INT};
}
constexpr fused_part known_part(u8 op, u8 tag) {
    return {fused_part_kind::known_constant, op, op, static_cast<u8>(1 + opcode_row(op).operands),
            tag};
}

constexpr int FUSED_PARTS_MAX = 4;
struct fused_pattern {
    u16 step = 0;
    u8 count = 0;
    fused_part parts[FUSED_PARTS_MAX] = {};
    // the bytes of the whole sequence
    constexpr u32 bytes() const {
        u32 sum = 0;
        for (int k = 0; k < count; ++k) sum += parts[k].bytes;
        return sum;
    }
};
template <class... Parts> constexpr fused_pattern fused_parts(Parts... parts) {
    static_assert(sizeof...(parts) >= 1 && sizeof...(parts) <= FUSED_PARTS_MAX);
    return {0, static_cast<u8>(sizeof...(parts)), {parts...}};
}
constexpr fused_pattern with_step(u16 step, fused_pattern pattern) {
    pattern.step = step;
    return pattern;
}

// Every step's pattern, by step number from the first.
inline constexpr fused_pattern fused_patterns[] = {
#define MIRT_FUSED_PATTERN_ROW(name, parts, body) with_step(FUSED_##name, fused_parts parts),
    MIRT_FUSED_STEPS(MIRT_FUSED_PATTERN_ROW)
#undef MIRT_FUSED_PATTERN_ROW
};
constexpr int FUSED_STEP_COUNT = static_cast<int>(std::size(fused_patterns));
static_assert(FUSED_STEP_COUNT == HANDLER_COUNT - 256);

// A step's place in the lists by step number from the first; `step` must be a fused step.
constexpr int fused_step_index(u16 step) { return step - (FUSED_BEFORE_FIRST + 1); }

constexpr const fused_pattern& fused_pattern_of(u16 step) {
    return fused_patterns[fused_step_index(step)];
}

// The names of the steps, by step number from the first (for tests and messages).
inline constexpr const char* fused_step_names[] = {
#define MIRT_FUSED_NAME_ROW(name, ...) #name,
    MIRT_FUSED_STEPS(MIRT_FUSED_NAME_ROW)
#undef MIRT_FUSED_NAME_ROW
};

constexpr const char* fused_step_name(u16 step) { return fused_step_names[fused_step_index(step)]; }

// Whether a step begins with an int constant load whose value the step holds: an operation
// with a constant, or the int load of an ldc or ldc_w whose constant the pass read.
constexpr bool fused_begins_with_int_constant(u16 handler) {
    if (handler <= FUSED_BEFORE_FIRST || handler >= HANDLER_COUNT) return false;
    const fused_part& first = fused_pattern_of(handler).parts[0];
    return first.kind == fused_part_kind::constant ||
           (first.kind == fused_part_kind::known_constant && first.tag == TYPE_INT);
}

struct code_step; // mirt_proof.h

// The handler the unchecked body runs the instruction at `at` with (the selector, in
// mirt_fused.cpp), of a method whose facts are found and whose steps after `at` are made.
u16 fused_handler(const u8* bytes, u32 length, const u8* fact, const code_step* step, u32 at);
