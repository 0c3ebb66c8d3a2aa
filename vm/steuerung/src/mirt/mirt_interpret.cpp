// The interpreter: one template body, instantiated checked and unchecked, traced or not, run
// or single step, and the countdown that bounds a run. The register model, the handlers'
// bodies and the fast path's support are parts of this translation unit (the .inc files), so
// that everything the handlers use is inlined into them.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "mirt.h"
#include "mirt_constant.h"
#include "mirt_core.h"
#include "mirt_error.h"
#include "mirt_opcodes.h"
#include "mirt_operation.h"
#include "mirt_proof.h"
#include "mirt_trace.h"

using namespace mirt_core;

namespace mirt_core {

void restart_countdown() {
    const u64 remaining = instruction_limit - instructions_executed;
    countdown = remaining < MIRT_CHECK_INTERVAL ? remaining : MIRT_CHECK_INTERVAL;
}

} // namespace mirt_core

namespace {

// The countdown ran out after an instruction: the limit is reached, a stop was requested,
// or it is only time to look again. `advance_pc`: pc is still on the instruction's last
// byte. A stopped run leaves pc on the instruction that would run next.
[[gnu::cold, gnu::noinline]] void countdown_expired(bool advance_pc) {
    const bool at_limit = instructions_executed >= instruction_limit;
    if (at_limit || stop_request) {
        if (advance_pc) ++pc;
        inc_pc = false;
        countdown = 1; // a handler that throws leaves a state that looks again at once
        if (on_stop) on_stop(at_limit ? STOP_AT_LIMIT : STOP_REQUESTED);
        std::exit(2);
    }
    restart_countdown();
}

} // namespace

#include "mirt_registers.inc"

// --- the interpreter -------------------------------------------------------------------------

#include "mirt_handlers.inc"

// clang-format off

// Dispatch is threaded: every handler ends by fetching and dispatching the next opcode
// itself through a table of handler addresses, so no shared loop head and no range test
// of the opcode stand between two instructions.
//   vmcase(name)  the handler's label
//   vmbreak       the instruction is done, pc is on its last byte
//   vmjump        the instruction is done, pc is on a checked branch target inside the code
//   vmenter       the instruction is done, pc is where a callee's code begins (and ends,
//                 when it has none)
//   vmresume      the instruction is done, pc is on its last byte in the caller's code
//   vmgo_on       the unchecked body made a call or return itself, pc is on the opcode to
//                 run next
// All print the trace after the instruction when tracing. A single step returns there
// instead of going on; its caller advances pc when inc_pc says so. After a call or a
// return a run looks whether the code it goes on in belongs to the other body, and returns
// to change to it; a checked run looks again whenever its countdown ran out. The unchecked
// body counts calls and returns one by one and every other instruction with the straight
// run it begins (after a goto, a taken branch, a call or a return); a run that would reach
// the end of the countdown goes to the checked body, which counts each instruction up to it.
//   vmfused(name) a fused step's handler; the threaded checked bodies, which never dispatch
//                 to one, have only a jump to the unknown-opcode path there, not its code
// Built with MIRT_THREADED_DISPATCH=0 the same body is one switch (for compilers and
// analysers without label addresses): vmcase is a case label, and dispatching goes back to
// the switch.
#ifndef MIRT_THREADED_DISPATCH
#define MIRT_THREADED_DISPATCH 1
#endif
#if MIRT_THREADED_DISPATCH
#define vmcase(name)  op_##name:
#define vmfused(name) op_fused_##name: if constexpr (checked) goto op_unnamed; else
#define vmdefault     op_unnamed:
#define vmdispatch    goto* dispatch[op]
#define vmswitch      vmdispatch;
#define vmswitch_end
#else
#define vmcase(name)  case OP_##name:
#define vmfused(name) case FUSED_##name:
#define vmdefault     default:
#define vmdispatch    goto dispatch_switch
#define vmswitch      dispatch_switch: __attribute__((unused)); switch (op) {
#define vmswitch_end  }
#endif
// The unchecked body counts the run that begins at pc, or changes body where the countdown
// would run out in it (the run at pc is then not counted).
#define vmcount_run                                                                           \
    if (!begin_run(r, runs)) {                                                                \
        counted_runs = nullptr;                                                               \
        r.save();                                                                             \
        return true;                                                                          \
    }
#define vmend(advance_pc, check_pc, resumes, starts_run)                                      \
    do {                                                                                      \
        if constexpr (trace) {                                                                \
            r.save();                                                                         \
            print_instruction_trace(op, local_var);                                           \
        }                                                                                     \
        if (checked || (resumes)) {                                                           \
            if (--r.left == 0) [[unlikely]] {                                                 \
                r.save();                                                                     \
                countdown_expired((advance_pc));                                              \
                r.load();                                                                     \
                if constexpr (checked && !one_step && !trace) {                               \
                    const u8* next = r.pc + ((advance_pc) ? 1 : 0);                           \
                    if (unchecked_proof(next, depth(r))) {                                    \
                        r.pc = next;                                                          \
                        r.save();                                                             \
                        return true;                                                          \
                    }                                                                         \
                }                                                                             \
            }                                                                                 \
        }                                                                                     \
        if constexpr (one_step) {                                                             \
            r.save();                                                                         \
            inc_pc = (advance_pc);                                                            \
            return true;                                                                      \
        } else {                                                                              \
            if ((advance_pc)) ++r.pc;                                                         \
            if constexpr ((resumes) && !trace) {                                              \
                const method_proof* proof = unchecked_proof(r.pc, depth(r));                  \
                if ((proof != nullptr) == checked) {                                          \
                    r.save();                                                                 \
                    return true;                                                              \
                }                                                                             \
                if constexpr (!checked) set_runs(runs, proof_steps(*proof), r.code_begin);    \
            }                                                                                 \
            if constexpr (!checked && ((resumes) || (starts_run))) {                          \
                vmcount_run;                                                                  \
            }                                                                                 \
            if ((check_pc) && checked && r.pc >= r.code_end)                                  \
                fail(r, FAULT_PAST_CODE_END, code_offset(r.code_end));                        \
            op = next_handler(r, runs);                                                       \
            vmdispatch;                                                                       \
        }                                                                                     \
    } while (0)
#define vmbreak   vmend(true, true, false, false)
#define vmjump    vmend(false, false, false, true)
#define vmenter   vmend(false, true, true, false)
#define vmresume  vmend(true, true, true, false)
// The unchecked body's own call or return into code it goes on in is done and counted, pc
// on the opcode to run next: it counts the run that begins there, as vmenter and vmresume.
#define vmgo_on                                                                               \
    do {                                                                                      \
        vmcount_run;                                                                          \
        op = next_handler(r, runs);                                                           \
        vmdispatch;                                                                           \
    } while (0)

// clang-format on

#include "mirt_fast_path.inc"

namespace {

// The interpreter. A single step (`one_step`) executes the instruction `first_op` at pc and
// returns, leaving pc on its last byte or on the opcode to run next (inc_pc tells which);
// a run fetches its own opcodes from pc and returns after the return from main, with pc
// past it (answering false), or where it changes body (answering true, pc on the opcode to
// run next). `trace` prints the trace line after every instruction. Single steps and
// traced runs are always `checked`.
// Aligned to a cache line: where the handlers fall relative to line and fetch-block
// boundaries changes the time of a dispatch-bound loop by a quarter, and otherwise moved
// with every change to the code placed before the function.
template <bool trace, bool one_step, bool checked>
[[gnu::aligned(64)]] bool interpret(u8 first_op) {
    static_assert(checked || (!trace && !one_step));
#if MIRT_THREADED_DISPATCH
#define MIRT_HANDLER_ADDRESS(value, name, ...) &&op_##name,
#define MIRT_UNNAMED_ADDRESS(value)            &&op_unnamed,
#define MIRT_FUSED_ADDRESS(name, ...)          &&op_fused_##name,
    static const void* const dispatch[] = {MIRT_OPCODE_LIST(MIRT_HANDLER_ADDRESS)
                                               MIRT_UNNAMED_OPCODE_LIST(MIRT_UNNAMED_ADDRESS)
                                                   MIRT_FUSED_STEPS(MIRT_FUSED_ADDRESS)};
#undef MIRT_HANDLER_ADDRESS
#undef MIRT_UNNAMED_ADDRESS
#undef MIRT_FUSED_ADDRESS
    static_assert(std::size(dispatch) == HANDLER_COUNT, "every byte value needs a handler");
#endif

    body_registers<checked> r{};
    r.load();
    unsigned op = first_op;              // as wide as a register: it indexes the table directly
    [[maybe_unused]] run_table runs = 0; // the unchecked body's counted_runs
    if constexpr (!checked) {
        const method_proof* proof = unchecked_proof(r.pc, depth(r));
        if (!proof) return true;
        set_runs(runs, proof_steps(*proof), r.code_begin);
        if (!begin_run(r, runs)) {
            counted_runs = nullptr;
            return true;
        }
    }
    if constexpr (!one_step) {
        if (r.pc >= r.code_end) fail(r, FAULT_PAST_CODE_END, code_offset(r.code_end));
        op = next_handler(r, runs);
    }
    vmswitch

        // The opcode families are kept as aligned rows.
        // clang-format off

    // constants
    vmcase(nop) vmbreak;
    vmcase(aconst_null) push(r, typed(TYPE_VOID)); vmbreak;
    vmcase(iconst_m1) push(r, int_entry(-1));     vmbreak;
    vmcase(iconst_0)  push(r, int_entry(0));      vmbreak;
    vmcase(iconst_1)  push(r, int_entry(1));      vmbreak;
    vmcase(iconst_2)  push(r, int_entry(2));      vmbreak;
    vmcase(iconst_3)  push(r, int_entry(3));      vmbreak;
    vmcase(iconst_4)  push(r, int_entry(4));      vmbreak;
    vmcase(iconst_5)  push(r, int_entry(5));      vmbreak;
    vmcase(lconst_0)  push(r, long_entry(0));     vmbreak;
    vmcase(lconst_1)  push(r, long_entry(1));     vmbreak;
    vmcase(fconst_0)  push(r, float_entry(0.0f)); vmbreak;
    vmcase(fconst_1)  push(r, float_entry(1.0f)); vmbreak;
    vmcase(fconst_2)  push(r, float_entry(2.0f)); vmbreak;
    vmcase(dconst_0)  push(r, double_entry(0.0)); vmbreak;
    vmcase(dconst_1)  push(r, double_entry(1.0)); vmbreak;
    vmcase(bipush) push(r, int_entry(static_cast<s8>(next_byte(r)))); vmbreak;
    vmcase(sipush) push(r, int_entry(static_cast<s16>(next_u16(r)))); vmbreak;
    vmcase(ldc)    push(r, pool_constant(r, OP_ldc,    operand_bytes(r, 1))); vmbreak;
    vmcase(ldc_w)  push(r, pool_constant(r, OP_ldc_w,  operand_bytes(r, 2))); vmbreak;
    vmcase(ldc2_w) push(r, pool_constant(r, OP_ldc2_w, operand_bytes(r, 2))); vmbreak;

    // loads: indexed forms reach the method's pool slice, one-byte forms the registers
    vmcase(iload) push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_INT, false)); vmbreak;
    vmcase(lload) push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_LONG, true)); vmbreak;
    vmcase(fload) push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_FLOAT, false)); vmbreak;
    vmcase(dload) push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_DOUBLE, true)); vmbreak;
    vmcase(iload_0)  push(r, load_local(local_var[0], TYPE_INT,    false)); vmbreak;
    vmcase(lload_0)  push(r, load_local(local_var[0], TYPE_LONG,   true )); vmbreak;
    vmcase(fload_0)  push(r, load_local(local_var[0], TYPE_FLOAT,  false)); vmbreak;
    vmcase(dload_0)  push(r, load_local(local_var[0], TYPE_DOUBLE, true )); vmbreak;
    vmcase(iload_1)  push(r, load_local(local_var[1], TYPE_INT,    false)); vmbreak;
    vmcase(lload_1)  push(r, load_local(local_var[1], TYPE_LONG,   true )); vmbreak;
    vmcase(fload_1)  push(r, load_local(local_var[1], TYPE_FLOAT,  false)); vmbreak;
    vmcase(dload_1)  push(r, load_local(local_var[1], TYPE_DOUBLE, true )); vmbreak;
    vmcase(iload_2)  push(r, load_local(local_var[2], TYPE_INT,    false)); vmbreak;
    vmcase(lload_2)  push(r, load_local(local_var[2], TYPE_LONG,   true )); vmbreak;
    vmcase(fload_2)  push(r, load_local(local_var[2], TYPE_FLOAT,  false)); vmbreak;
    vmcase(dload_2)  push(r, load_local(local_var[2], TYPE_DOUBLE, true )); vmbreak;
    vmcase(iload_3)  push(r, load_local(local_var[3], TYPE_INT,    false)); vmbreak;
    vmcase(lload_3)  push(r, load_local(local_var[3], TYPE_LONG,   true )); vmbreak;
    vmcase(fload_3)  push(r, load_local(local_var[3], TYPE_FLOAT,  false)); vmbreak;
    vmcase(dload_3)  push(r, load_local(local_var[3], TYPE_DOUBLE, true )); vmbreak;

    // stores: the index range is checked before the pop
    vmcase(istore) store_local(r, pool_local(r, local_index_operand(r)), TYPE_INT, false); vmbreak;
    vmcase(lstore) store_local(r, pool_local(r, local_index_operand(r)), TYPE_LONG, true); vmbreak;
    vmcase(fstore) store_local(r, pool_local(r, local_index_operand(r)), TYPE_FLOAT, false); vmbreak;
    vmcase(dstore) store_local(r, pool_local(r, local_index_operand(r)), TYPE_DOUBLE, true); vmbreak;
    vmcase(istore_0) store_local(r, local_var[0], TYPE_INT,    false); vmbreak;
    vmcase(lstore_0) store_local(r, local_var[0], TYPE_LONG,   true ); vmbreak;
    vmcase(fstore_0) store_local(r, local_var[0], TYPE_FLOAT,  false); vmbreak;
    vmcase(dstore_0) store_local(r, local_var[0], TYPE_DOUBLE, true ); vmbreak;
    vmcase(istore_1) store_local(r, local_var[1], TYPE_INT,    false); vmbreak;
    vmcase(lstore_1) store_local(r, local_var[1], TYPE_LONG,   true ); vmbreak;
    vmcase(fstore_1) store_local(r, local_var[1], TYPE_FLOAT,  false); vmbreak;
    vmcase(dstore_1) store_local(r, local_var[1], TYPE_DOUBLE, true ); vmbreak;
    vmcase(istore_2) store_local(r, local_var[2], TYPE_INT,    false); vmbreak;
    vmcase(lstore_2) store_local(r, local_var[2], TYPE_LONG,   true ); vmbreak;
    vmcase(fstore_2) store_local(r, local_var[2], TYPE_FLOAT,  false); vmbreak;
    vmcase(dstore_2) store_local(r, local_var[2], TYPE_DOUBLE, true ); vmbreak;
    vmcase(istore_3) store_local(r, local_var[3], TYPE_INT,    false); vmbreak;
    vmcase(lstore_3) store_local(r, local_var[3], TYPE_LONG,   true ); vmbreak;
    vmcase(fstore_3) store_local(r, local_var[3], TYPE_FLOAT,  false); vmbreak;
    vmcase(dstore_3) store_local(r, local_var[3], TYPE_DOUBLE, true ); vmbreak;

    // stack manipulation: entries move whole; only pop2 looks at a tag
    vmcase(pop) pop(r); vmbreak;
    vmcase(pop2) {
        const variable x1 = pop(r);
        if (x1.type != TYPE_LONG && x1.type != TYPE_DOUBLE) pop(r);
        vmbreak;
    }
    vmcase(dup) {
        const variable x1 = pop(r);
        push(r, x1), push(r, x1);
        vmbreak;
    }
    vmcase(dup_x1) {
        const variable x1 = pop(r), x2 = pop(r);
        push(r, x1), push(r, x2), push(r, x1);
        vmbreak;
    }
    vmcase(dup_x2) {
        const variable x1 = pop(r), x2 = pop(r), x3 = pop(r);
        push(r, x1), push(r, x3), push(r, x2), push(r, x1);
        vmbreak;
    }
    vmcase(dup2) {
        const variable x1 = pop(r), x2 = pop(r);
        push(r, x2), push(r, x1), push(r, x2), push(r, x1);
        vmbreak;
    }
    vmcase(dup2_x1) {
        const variable x1 = pop(r), x2 = pop(r), x3 = pop(r);
        push(r, x2), push(r, x1), push(r, x3), push(r, x2), push(r, x1);
        vmbreak;
    }
    vmcase(dup2_x2) {
        const variable x1 = pop(r), x2 = pop(r), x3 = pop(r), x4 = pop(r);
        push(r, x2), push(r, x1), push(r, x4), push(r, x3), push(r, x2), push(r, x1);
        vmbreak;
    }
    vmcase(swap) {
        const variable x1 = pop(r), x2 = pop(r);
        push(r, x1), push(r, x2);
        vmbreak;
    }

    // arithmetic
    vmcase(iadd) BINARY(S32, put_int,    add32(a, b))     vmbreak;
    vmcase(ladd) BINARY(S64, put_long,   add64(a, b))     vmbreak;
    vmcase(fadd) BINARY(F,   put_float,  a + b)           vmbreak;
    vmcase(dadd) BINARY(D,   put_double, a + b)           vmbreak;
    vmcase(isub) BINARY(S32, put_int,    sub32(a, b))     vmbreak;
    vmcase(lsub) BINARY(S64, put_long,   sub64(a, b))     vmbreak;
    vmcase(fsub) BINARY(F,   put_float,  a - b)           vmbreak;
    vmcase(dsub) BINARY(D,   put_double, a - b)           vmbreak;
    vmcase(imul) BINARY(S32, put_int,    mul32(a, b))     vmbreak;
    vmcase(lmul) BINARY(S64, put_long,   mul64(a, b))     vmbreak;
    vmcase(fmul) BINARY(F,   put_float,  a * b)           vmbreak;
    vmcase(dmul) BINARY(D,   put_double, a * b)           vmbreak;
    vmcase(idiv) DIVIDE(S32, put_int,    div32(a, b))     vmbreak;
    vmcase(ldiv) DIVIDE(S64, put_long,   div64(a, b))     vmbreak;
    vmcase(fdiv) BINARY(F,   put_float,  a / b)           vmbreak;
    vmcase(ddiv) BINARY(D,   put_double, a / b)           vmbreak;
    vmcase(irem) DIVIDE(S32, put_int,    rem32(a, b))     vmbreak;
    vmcase(lrem) DIVIDE(S64, put_long,   rem64(a, b))     vmbreak;
    vmcase(ineg) UNARY(S32,  put_int,    neg32(a))        vmbreak;
    vmcase(lneg) UNARY(S64,  put_long,   neg64(a))        vmbreak;
    vmcase(fneg) UNARY(F,    put_float,  neg_float(a))    vmbreak;
    vmcase(dneg) UNARY(D,    put_double, neg_double(a))   vmbreak;

    // shifts (the count is always an int) and bitwise logic
    vmcase(ishl)  SHIFT(S32,  put_int,   shl32(a, n))     vmbreak;
    vmcase(lshl)  SHIFT(S64,  put_long,  shl64(a, n))     vmbreak;
    vmcase(ishr)  SHIFT(S32,  put_int,   shr32(a, n))     vmbreak;
    vmcase(lshr)  SHIFT(S64,  put_long,  shr64(a, n))     vmbreak;
    vmcase(iushr) SHIFT(S32,  put_int,   ushr32(a, n))    vmbreak;
    vmcase(lushr) SHIFT(S64,  put_long,  ushr64(a, n))    vmbreak;
    vmcase(iand)  BINARY(S32, put_int,   a & b)           vmbreak;
    vmcase(land)  BINARY(S64, put_long,  a & b)           vmbreak;
    vmcase(ior)   BINARY(S32, put_int,   a | b)           vmbreak;
    vmcase(lor)   BINARY(S64, put_long,  a | b)           vmbreak;
    vmcase(ixor)  BINARY(S32, put_int,   a ^ b)           vmbreak;
    vmcase(lxor)  BINARY(S64, put_long,  a ^ b)           vmbreak;

    vmcase(iinc) {
        // index and delta: a byte each, two bytes each after a pending wide; each form ends
        // on its own, so that pc moves on once
        if (wide_opcode) [[unlikely]] {
            wide_opcode = false;
            const u8* p = operand_bytes(r, 4);
            increment_register_local(r, operand_u16(p), static_cast<s16>(operand_u16(p + 2)));
            vmbreak;
        }
        INCREMENT vmbreak;
    }

    // conversions; the narrowing ones only retag, the value bytes stay as they were
    vmcase(i2l) UNARY(S32, put_long,   a)                      vmbreak;
    vmcase(i2f) UNARY(S32, put_float,  static_cast<float>(a))  vmbreak;
    vmcase(i2d) UNARY(S32, put_double, a)                      vmbreak;
    vmcase(l2i) UNARY(S64, put_int,    static_cast<s32>(a))    vmbreak;
    vmcase(l2f) UNARY(S64, put_float,  static_cast<float>(a))  vmbreak;
    vmcase(l2d) UNARY(S64, put_double, static_cast<double>(a)) vmbreak;
    vmcase(f2i) UNARY(F,   put_int,    double_to_int(a))       vmbreak;
    vmcase(f2l) UNARY(F,   put_long,   double_to_long(a))      vmbreak;
    vmcase(f2d) UNARY(F,   put_double, a)                      vmbreak;
    vmcase(d2i) UNARY(D,   put_int,    double_to_int(a))       vmbreak;
    vmcase(d2l) UNARY(D,   put_long,   double_to_long(a))      vmbreak;
    vmcase(d2f) UNARY(D,   put_float,  double_to_float(a))     vmbreak;
    vmcase(i2b) RETAG(TYPE_BYTE)  vmbreak;
    vmcase(i2c) RETAG(TYPE_CHAR)  vmbreak;
    vmcase(i2s) RETAG(TYPE_SHORT) vmbreak;

    // comparisons: NaN compares as 0 for both the l and the g forms
    vmcase(lcmp)  BINARY(S64, put_int, compare3(a, b)) vmbreak;
    vmcase(fcmpl)
    vmcase(fcmpg) BINARY(F,   put_int, compare3(a, b)) vmbreak;
    vmcase(dcmpl)
    vmcase(dcmpg) BINARY(D,   put_int, compare3(a, b)) vmbreak;

    // branches
    vmcase(ifeq)      IF_ZERO(a == 0) vmbreak;
    vmcase(ifne)      IF_ZERO(a != 0) vmbreak;
    vmcase(iflt)      IF_ZERO(a < 0)  vmbreak;
    vmcase(ifge)      IF_ZERO(a >= 0) vmbreak;
    vmcase(ifgt)      IF_ZERO(a > 0)  vmbreak;
    vmcase(ifle)      IF_ZERO(a <= 0) vmbreak;
    vmcase(if_icmpeq) IF_CMP(a == b)  vmbreak;
    vmcase(if_icmpne) IF_CMP(a != b)  vmbreak;
    vmcase(if_icmplt) IF_CMP(a < b)   vmbreak;
    vmcase(if_icmpge) IF_CMP(a >= b)  vmbreak;
    vmcase(if_icmpgt) IF_CMP(a > b)   vmbreak;
    vmcase(if_icmple) IF_CMP(a <= b)  vmbreak;
    vmcase(goto) GOTO;
    vmcase(goto_w) {
        const u8* at = r.pc;
        jump(r, at, next_s32(r));
        vmjump;
    }

    // returns: the value, if any, stays on the shared operand stack for the caller
    vmcase(ireturn)
    vmcase(lreturn)
    vmcase(freturn)
    vmcase(dreturn)
    vmcase(return) {
        if constexpr (!checked) {
            if (return_to_kept(r, runs)) vmgo_on;
        }
        frame_info caller = pop_frame();
        if (!caller.pc) { // main returns: no trace for this instruction
            function_counter = 0;
            if constexpr (!one_step) ++r.pc; // the advance of its step
            --r.left;                        // counted, though nothing runs after it
            counted_runs = nullptr;                // and pc has left the code of the run
            r.save();
            inc_pc = true;
            return false;
        }
        r.save();
        restore_frame(caller);
        r.load();
        --function_counter;
        vmresume; // pc is back on the caller's invokestatic
    }

    vmcase(invokestatic) {
        const u16 index = next_u16(r);
        if constexpr (!checked) {
            if (enter_kept_call(r, runs, index)) vmgo_on;
        }
        r.save(); // activation and natives work on pc and the stack
        update_current_frame();
        push_caller();
        if (call_static(index)) {
            ++function_counter;
            r.load();
            vmenter; // pc is on the callee's first opcode, if its code has any
        }
        pop_caller();
        r.load();
        // A drive function may ask for the stop (the emulated clock passed its bound): the
        // run stops right after this call, not some instructions later.
        if (stop_request) [[unlikely]] r.left = countdown = 1;
        vmresume;
    }

    vmcase(wide) wide_opcode = true; vmbreak;

    // fused steps, which only the unchecked body's steps name (see mirt_fused.h)
#define MIRT_FUSED_HANDLER(name, parts, body) vmfused(name) body vmbreak;
    MIRT_FUSED_STEPS(MIRT_FUSED_HANDLER)
#undef MIRT_FUSED_HANDLER

    // references, arrays, objects, fields, subroutines, switches, monitors, exceptions and
    // the floating-point remainders are not executed by this VM: the table's REFUSE rows
#define MIRT_REFUSED_RUN(name)
#define MIRT_REFUSED_REFUSE(name) vmcase(name)
#define MIRT_REFUSED_CASE(value, name, operands, wide, executed, ...) MIRT_REFUSED_##executed(name)
    MIRT_OPCODE_LIST(MIRT_REFUSED_CASE)
#undef MIRT_REFUSED_CASE
#undef MIRT_REFUSED_REFUSE
#undef MIRT_REFUSED_RUN
    vmdefault // 0xcb..0xff: no instruction has these values
        // A run reads the opcode again rather than keep it in a register for this path.
        fail(r, ERROR_UNKNOWN_OPCODE, one_step ? op : *r.pc);
    vmswitch_end
    // clang-format on
}

} // namespace

#undef vmcase
#undef vmfused
#undef vmdefault
#undef vmdispatch
#undef vmswitch
#undef vmswitch_end
#undef vmend
#undef vmbreak
#undef vmjump
#undef vmenter
#undef vmresume
#undef vmgo_on
#undef vmcount_run

void execute_instruction(int instruction) {
    const u8 op = static_cast<u8>(instruction);
    is_debug ? interpret<true, true, true>(op) : interpret<false, true, true>(op);
}

namespace mirt_core {

// The steps of a run from here to the return from main, as mirt_step would make them one
// by one, without leaving the interpreter between them. Nothing an instruction does can set
// the requests a step checks besides (stop, initialise, start: only a host calls those).
// The trace switch is fixed for a run; deciding it once keeps the test out of every step.
// An untraced run changes between the checked and the unchecked body where calls and
// returns lead from code of one kind to the other.
void run_to_end_of_main() {
    if (is_debug) {
        interpret<true, false, true>(0);
        return;
    }
    bool unchecked = unchecked_proof(pc, stack_counter) != nullptr;
    while (unchecked ? interpret<false, false, false>(0) : interpret<false, false, true>(0))
        unchecked = !unchecked;
}

} // namespace mirt_core
