// Opcode values and what this VM does with each, listed once: the interpreter's handlers and
// its refused opcodes, the trace, the checker's decoding and every disassembly are expansions
// of this one table.
#pragma once

#include "mirt_types.h"

// X(value, mnemonic, operands, wide operands, executed, stack effect, control flow), in
// opcode order:
//   operands       operand bytes after the opcode, as the JVM defines them; VAR for the
//                  switches, whose length depends on their place and contents
//   wide operands  operand bytes after a wide prefix; 0 for an instruction that takes none
//                  (wide itself is an instruction of its own here: it sets the prefix)
//   executed       RUN: this VM executes it; REFUSE: it ends a run with error 5
//   stack effect   in this VM's entries (a long or double is one entry):
//                  EFFECT(takes, gives) gives 0 entries, 1 int or float, 2 long or double;
//                  STACK_FORM(moved, copied): takes `moved` entries and puts them back with
//                  the top `copied` of them once more below them (pop: (1, 0));
//                  POP2_FORM, SWAP_FORM; CALL_EFFECT: the callee's descriptor says;
//                  UNKNOWN_EFFECT for the opcodes the VM refuses
//   control flow   NEXT falls through, BRANCH may jump, GOTO jumps, RETURN ends the method,
//                  CALL calls; REFUSED_AS(JVM_flow, what) ends the run, where the JVM would go
//                  on as `flow` (SWITCH: to one of its targets), and names what the
//                  programmer wrote; REFUSED ends the run and no more is known
// clang-format off
#define MIRT_OPCODE_LIST(X) \
    X(0x00, nop,            0,   0, RUN,    EFFECT(0, 0),     NEXT)                                \
    X(0x01, aconst_null,    0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x02, iconst_m1,      0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x03, iconst_0,       0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x04, iconst_1,       0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x05, iconst_2,       0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x06, iconst_3,       0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x07, iconst_4,       0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x08, iconst_5,       0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x09, lconst_0,       0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x0a, lconst_1,       0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x0b, fconst_0,       0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x0c, fconst_1,       0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x0d, fconst_2,       0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x0e, dconst_0,       0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x0f, dconst_1,       0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x10, bipush,         1,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x11, sipush,         2,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x12, ldc,            1,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x13, ldc_w,          2,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x14, ldc2_w,         2,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x15, iload,          1,   2, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x16, lload,          1,   2, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x17, fload,          1,   2, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x18, dload,          1,   2, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x19, aload,          1,   2, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, object_variables))  \
    X(0x1a, iload_0,        0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x1b, iload_1,        0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x1c, iload_2,        0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x1d, iload_3,        0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x1e, lload_0,        0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x1f, lload_1,        0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x20, lload_2,        0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x21, lload_3,        0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x22, fload_0,        0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x23, fload_1,        0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x24, fload_2,        0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x25, fload_3,        0,   0, RUN,    EFFECT(0, 1),     NEXT)                                \
    X(0x26, dload_0,        0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x27, dload_1,        0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x28, dload_2,        0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x29, dload_3,        0,   0, RUN,    EFFECT(0, 2),     NEXT)                                \
    X(0x2a, aload_0,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, object_variables))  \
    X(0x2b, aload_1,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, object_variables))  \
    X(0x2c, aload_2,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, object_variables))  \
    X(0x2d, aload_3,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, object_variables))  \
    X(0x2e, iaload,         0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x2f, laload,         0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x30, faload,         0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x31, daload,         0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x32, aaload,         0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x33, baload,         0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x34, caload,         0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x35, saload,         0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x36, istore,         1,   2, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x37, lstore,         1,   2, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x38, fstore,         1,   2, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x39, dstore,         1,   2, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x3a, astore,         1,   2, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, object_variables))  \
    X(0x3b, istore_0,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x3c, istore_1,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x3d, istore_2,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x3e, istore_3,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x3f, lstore_0,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x40, lstore_1,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x41, lstore_2,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x42, lstore_3,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x43, fstore_0,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x44, fstore_1,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x45, fstore_2,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x46, fstore_3,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x47, dstore_0,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x48, dstore_1,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x49, dstore_2,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x4a, dstore_3,       0,   0, RUN,    EFFECT(1, 0),     NEXT)                                \
    X(0x4b, astore_0,       0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, object_variables))  \
    X(0x4c, astore_1,       0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, object_variables))  \
    X(0x4d, astore_2,       0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, object_variables))  \
    X(0x4e, astore_3,       0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, object_variables))  \
    X(0x4f, iastore,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x50, lastore,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x51, fastore,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x52, dastore,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x53, aastore,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x54, bastore,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x55, castore,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x56, sastore,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0x57, pop,            0,   0, RUN,    STACK_FORM(1, 0), NEXT)                                \
    X(0x58, pop2,           0,   0, RUN,    POP2_FORM,        NEXT)                                \
    X(0x59, dup,            0,   0, RUN,    STACK_FORM(1, 1), NEXT)                                \
    X(0x5a, dup_x1,         0,   0, RUN,    STACK_FORM(2, 1), NEXT)                                \
    X(0x5b, dup_x2,         0,   0, RUN,    STACK_FORM(3, 1), NEXT)                                \
    X(0x5c, dup2,           0,   0, RUN,    STACK_FORM(2, 2), NEXT)                                \
    X(0x5d, dup2_x1,        0,   0, RUN,    STACK_FORM(3, 2), NEXT)                                \
    X(0x5e, dup2_x2,        0,   0, RUN,    STACK_FORM(4, 2), NEXT)                                \
    X(0x5f, swap,           0,   0, RUN,    SWAP_FORM,        NEXT)                                \
    X(0x60, iadd,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x61, ladd,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x62, fadd,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x63, dadd,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x64, isub,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x65, lsub,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x66, fsub,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x67, dsub,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x68, imul,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x69, lmul,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x6a, fmul,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x6b, dmul,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x6c, idiv,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x6d, ldiv,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x6e, fdiv,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x6f, ddiv,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x70, irem,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x71, lrem,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x72, frem,           0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, float_remainders))  \
    X(0x73, drem,           0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, float_remainders))  \
    X(0x74, ineg,           0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x75, lneg,           0,   0, RUN,    EFFECT(1, 2),     NEXT)                                \
    X(0x76, fneg,           0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x77, dneg,           0,   0, RUN,    EFFECT(1, 2),     NEXT)                                \
    X(0x78, ishl,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x79, lshl,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x7a, ishr,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x7b, lshr,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x7c, iushr,          0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x7d, lushr,          0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x7e, iand,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x7f, land,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x80, ior,            0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x81, lor,            0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x82, ixor,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x83, lxor,           0,   0, RUN,    EFFECT(2, 2),     NEXT)                                \
    X(0x84, iinc,           2,   4, RUN,    EFFECT(0, 0),     NEXT)                                \
    X(0x85, i2l,            0,   0, RUN,    EFFECT(1, 2),     NEXT)                                \
    X(0x86, i2f,            0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x87, i2d,            0,   0, RUN,    EFFECT(1, 2),     NEXT)                                \
    X(0x88, l2i,            0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x89, l2f,            0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x8a, l2d,            0,   0, RUN,    EFFECT(1, 2),     NEXT)                                \
    X(0x8b, f2i,            0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x8c, f2l,            0,   0, RUN,    EFFECT(1, 2),     NEXT)                                \
    X(0x8d, f2d,            0,   0, RUN,    EFFECT(1, 2),     NEXT)                                \
    X(0x8e, d2i,            0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x8f, d2l,            0,   0, RUN,    EFFECT(1, 2),     NEXT)                                \
    X(0x90, d2f,            0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x91, i2b,            0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x92, i2c,            0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x93, i2s,            0,   0, RUN,    EFFECT(1, 1),     NEXT)                                \
    X(0x94, lcmp,           0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x95, fcmpl,          0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x96, fcmpg,          0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x97, dcmpl,          0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x98, dcmpg,          0,   0, RUN,    EFFECT(2, 1),     NEXT)                                \
    X(0x99, ifeq,           2,   0, RUN,    EFFECT(1, 0),     BRANCH)                              \
    X(0x9a, ifne,           2,   0, RUN,    EFFECT(1, 0),     BRANCH)                              \
    X(0x9b, iflt,           2,   0, RUN,    EFFECT(1, 0),     BRANCH)                              \
    X(0x9c, ifge,           2,   0, RUN,    EFFECT(1, 0),     BRANCH)                              \
    X(0x9d, ifgt,           2,   0, RUN,    EFFECT(1, 0),     BRANCH)                              \
    X(0x9e, ifle,           2,   0, RUN,    EFFECT(1, 0),     BRANCH)                              \
    X(0x9f, if_icmpeq,      2,   0, RUN,    EFFECT(2, 0),     BRANCH)                              \
    X(0xa0, if_icmpne,      2,   0, RUN,    EFFECT(2, 0),     BRANCH)                              \
    X(0xa1, if_icmplt,      2,   0, RUN,    EFFECT(2, 0),     BRANCH)                              \
    X(0xa2, if_icmpge,      2,   0, RUN,    EFFECT(2, 0),     BRANCH)                              \
    X(0xa3, if_icmpgt,      2,   0, RUN,    EFFECT(2, 0),     BRANCH)                              \
    X(0xa4, if_icmple,      2,   0, RUN,    EFFECT(2, 0),     BRANCH)                              \
    X(0xa5, if_acmpeq,      2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_BRANCH, reference_comparisons)) \
    X(0xa6, if_acmpne,      2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_BRANCH, reference_comparisons)) \
    X(0xa7, goto,           2,   0, RUN,    EFFECT(0, 0),     GOTO)                                \
    X(0xa8, jsr,            2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_BRANCH, subroutines))     \
    X(0xa9, ret,            1,   2, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_RETURN, subroutines))     \
    X(0xaa, tableswitch,    VAR, 0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_SWITCH, switches))        \
    X(0xab, lookupswitch,   VAR, 0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_SWITCH, switches))        \
    X(0xac, ireturn,        0,   0, RUN,    EFFECT(0, 0),     RETURN)                              \
    X(0xad, lreturn,        0,   0, RUN,    EFFECT(0, 0),     RETURN)                              \
    X(0xae, freturn,        0,   0, RUN,    EFFECT(0, 0),     RETURN)                              \
    X(0xaf, dreturn,        0,   0, RUN,    EFFECT(0, 0),     RETURN)                              \
    X(0xb0, areturn,        0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_RETURN, object_results))  \
    X(0xb1, return,         0,   0, RUN,    EFFECT(0, 0),     RETURN)                              \
    X(0xb2, getstatic,      2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, fields))            \
    X(0xb3, putstatic,      2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, fields))            \
    X(0xb4, getfield,       2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, fields))            \
    X(0xb5, putfield,       2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, fields))            \
    X(0xb6, invokevirtual,  2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, objects))           \
    X(0xb7, invokespecial,  2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, objects))           \
    X(0xb8, invokestatic,   2,   0, RUN,    CALL_EFFECT,      CALL)                                \
    X(0xb9, invokeinterface, 4,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, objects))          \
    X(0xba, xxxunusedxxx1,  4,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, objects))           \
    X(0xbb, new,            2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, objects))           \
    X(0xbc, newarray,       1,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0xbd, anewarray,      2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0xbe, arraylength,    0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0xbf, athrow,         0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_RETURN, exceptions))      \
    X(0xc0, checkcast,      2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, objects))           \
    X(0xc1, instanceof,     2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, objects))           \
    X(0xc2, monitorenter,   0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, monitors))          \
    X(0xc3, monitorexit,    0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, monitors))          \
    X(0xc4, wide,           0,   0, RUN,    EFFECT(0, 0),     NEXT)                                \
    X(0xc5, multianewarray, 3,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_NEXT, arrays))            \
    X(0xc6, ifnull,         2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_BRANCH, reference_comparisons)) \
    X(0xc7, ifnonnull,      2,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_BRANCH, reference_comparisons)) \
    X(0xc8, goto_w,         4,   0, RUN,    EFFECT(0, 0),     GOTO)                                \
    X(0xc9, jsr_w,          4,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED_AS(JVM_BRANCH, subroutines))     \
    X(0xca, breakpoint,     0,   0, REFUSE, UNKNOWN_EFFECT,   REFUSED)
// clang-format on

// X(value) for the byte values no instruction has, 0xcb..0xff.
// clang-format off
#define MIRT_UNNAMED_OPCODE_LIST(X) \
    X(0xcb) X(0xcc) X(0xcd) X(0xce) X(0xcf) X(0xd0) X(0xd1) X(0xd2) \
    X(0xd3) X(0xd4) X(0xd5) X(0xd6) X(0xd7) X(0xd8) X(0xd9) X(0xda) \
    X(0xdb) X(0xdc) X(0xdd) X(0xde) X(0xdf) X(0xe0) X(0xe1) X(0xe2) \
    X(0xe3) X(0xe4) X(0xe5) X(0xe6) X(0xe7) X(0xe8) X(0xe9) X(0xea) \
    X(0xeb) X(0xec) X(0xed) X(0xee) X(0xef) X(0xf0) X(0xf1) X(0xf2) \
    X(0xf3) X(0xf4) X(0xf5) X(0xf6) X(0xf7) X(0xf8) X(0xf9) X(0xfa) \
    X(0xfb) X(0xfc) X(0xfd) X(0xfe) X(0xff)
// clang-format on

enum opcode : u8 {
#define MIRT_OPCODE_ENUM(value, name, ...) OP_##name = value,
    MIRT_OPCODE_LIST(MIRT_OPCODE_ENUM)
#undef MIRT_OPCODE_ENUM
};

constexpr int OPCODE_COUNT = 203; // 0x00 (nop) .. 0xca (breakpoint); 0xcb..0xff have no name

// Both lists run in value order without gaps, so that tables indexed by value (the
// mnemonics, the interpreter's handler addresses, the columns below) can be built from them.
constexpr bool opcode_lists_are_dense() {
#define MIRT_OPCODE_VALUE(value, ...) value,
    constexpr int values[] = {MIRT_OPCODE_LIST(MIRT_OPCODE_VALUE)
                                  MIRT_UNNAMED_OPCODE_LIST(MIRT_OPCODE_VALUE)};
#undef MIRT_OPCODE_VALUE
    if (sizeof values / sizeof values[0] != 256) return false;
    for (int i = 0; i < 256; ++i)
        if (values[i] != i) return false;
    return true;
}
static_assert(opcode_lists_are_dense());

// Mnemonic of every named opcode, indexed by its value.
extern const char* const opcodes[OPCODE_COUNT];

enum class control_flow : u8 { next, branch, jump, return_, call, switch_, refused };

// What the programmer wrote where the VM refuses an instruction.
enum class refusal : u8 {
    none, // executed
    object_variables,
    arrays,
    float_remainders,
    reference_comparisons,
    subroutines,
    switches,
    object_results,
    fields,
    objects,
    exceptions,
    monitors,
    unknown, // no instruction, or a debugger's
};

constexpr const char* refusal_text(refusal r) {
    switch (r) {
    case refusal::object_variables: return "object and array variables are not supported";
    case refusal::arrays: return "arrays are not supported";
    case refusal::float_remainders: return "the floating-point remainder (%) is not supported";
    case refusal::reference_comparisons: return "comparisons of references are not supported";
    case refusal::subroutines: return "subroutines (old finally blocks) are not supported";
    case refusal::switches: return "switch statements are not supported";
    case refusal::object_results: return "methods returning objects are not supported";
    case refusal::fields: return "fields are not supported";
    case refusal::objects: return "objects and their methods are not supported";
    case refusal::exceptions: return "throwing exceptions is not supported";
    case refusal::monitors: return "synchronized blocks are not supported";
    case refusal::none:
    case refusal::unknown: break;
    }
    return "this is not an instruction the VM executes";
}

enum class effect_kind : u8 {
    plain,      // takes, gives
    stack_form, // moved, copied
    pop2,       // one long or double, or two other entries
    swap,
    call,    // the callee's descriptor
    unknown, // refused by the VM
};

struct stack_effect {
    effect_kind kind;
    u8 takes; // plain: entries taken; stack_form: entries moved
    u8 gives; // plain: 0 nothing, 1 an int or float, 2 a long or double; stack_form: copied
};

// Entries a STACK_FORM puts back: none for pop, else all it took and the copies.
constexpr int stack_form_gives(const stack_effect& effect) {
    return effect.gives == 0 ? 0 : effect.takes + effect.gives;
}

// The effect's columns as depths: the entries an instruction takes, and those it puts back
// after taking them; -1 where the code alone does not fix the depth after it (a call before
// its descriptor is read, pop2, the refused opcodes). The proof pass reads the table only
// through these, and a unit test runs every executed opcode against them.
constexpr int entries_taken(const stack_effect& effect) {
    return effect.kind == effect_kind::swap ? 2 : effect.takes;
}
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

// One row of the table, for the byte values that name an instruction.
struct opcode_info {
    bool named; // false for 0xcb..0xff
    bool executed;
    bool variable_operands; // the switches
    u8 operands;            // when not variable
    u8 wide_operands;       // 0: takes no wide prefix
    stack_effect effect;
    control_flow flow;
    control_flow jvm_flow; // where the JVM goes on, also after an instruction refused here
    refusal refused_as;
};

namespace opcode_table_detail {
#define VAR    0, true
#define RUN    true
#define REFUSE false
#define EFFECT(t, g)                                                                               \
    stack_effect { effect_kind::plain, t, g }
#define STACK_FORM(m, c)                                                                           \
    stack_effect { effect_kind::stack_form, m, c }
#define POP2_FORM                                                                                  \
    stack_effect { effect_kind::pop2, 0, 0 }
#define SWAP_FORM                                                                                  \
    stack_effect { effect_kind::swap, 0, 0 }
#define CALL_EFFECT                                                                                \
    stack_effect { effect_kind::call, 0, 0 }
#define UNKNOWN_EFFECT                                                                             \
    stack_effect { effect_kind::unknown, 0, 0 }
#define NEXT                   control_flow::next, control_flow::next, refusal::none
#define BRANCH                 control_flow::branch, control_flow::branch, refusal::none
#define GOTO                   control_flow::jump, control_flow::jump, refusal::none
#define RETURN                 control_flow::return_, control_flow::return_, refusal::none
#define CALL                   control_flow::call, control_flow::call, refusal::none
#define REFUSED                control_flow::refused, control_flow::refused, refusal::unknown
#define JVM_NEXT               control_flow::next
#define JVM_BRANCH             control_flow::branch
#define JVM_RETURN             control_flow::return_
#define JVM_SWITCH             control_flow::switch_
#define REFUSED_AS(flow, what) control_flow::refused, flow, refusal::what
// operands is a number or VAR ("0, true"): the row's initializer takes both forms.
struct row_builder {
    static constexpr opcode_info make(u8 operands, bool variable, u8 wide, bool executed,
                                      stack_effect effect, control_flow flow, control_flow jvm_flow,
                                      refusal refused_as) {
        return {true, executed, variable, operands, wide, effect, flow, jvm_flow, refused_as};
    }
    static constexpr opcode_info make(u8 operands, u8 wide, bool executed, stack_effect effect,
                                      control_flow flow, control_flow jvm_flow,
                                      refusal refused_as) {
        return {true, executed, false, operands, wide, effect, flow, jvm_flow, refused_as};
    }
};
#define MIRT_OPCODE_ROW(value, name, ...) row_builder::make(__VA_ARGS__),
#define MIRT_UNNAMED_ROW(value)           opcode_info{false, false, false, 0, 0, UNKNOWN_EFFECT, REFUSED},
inline constexpr opcode_info rows[256] = {MIRT_OPCODE_LIST(MIRT_OPCODE_ROW)
                                              MIRT_UNNAMED_OPCODE_LIST(MIRT_UNNAMED_ROW)};
#undef MIRT_OPCODE_ROW
#undef MIRT_UNNAMED_ROW
#undef VAR
#undef RUN
#undef REFUSE
#undef EFFECT
#undef STACK_FORM
#undef POP2_FORM
#undef SWAP_FORM
#undef CALL_EFFECT
#undef UNKNOWN_EFFECT
#undef NEXT
#undef BRANCH
#undef GOTO
#undef RETURN
#undef CALL
#undef REFUSED
#undef JVM_NEXT
#undef JVM_BRANCH
#undef JVM_RETURN
#undef JVM_SWITCH
#undef REFUSED_AS
} // namespace opcode_table_detail

constexpr const opcode_info& opcode_row(u8 op) { return opcode_table_detail::rows[op]; }

// Whether the VM executes `op`; every other byte value ends a run with error 5.
constexpr bool opcode_executed(u8 op) { return opcode_row(op).executed; }

// Operand bytes after an executed opcode (after a pending wide where `wide` and the opcode
// takes one); 0 for the opcodes the VM does not execute, which end every path there.
constexpr int opcode_operand_bytes(u8 op, bool wide) {
    const opcode_info& row = opcode_row(op);
    if (!row.executed) return 0;
    return wide && row.wide_operands ? row.wide_operands : row.operands;
}

// Whether `op` takes the operands a pending wide prefix gives it (and so uses it up).
constexpr bool opcode_takes_wide(u8 op) { return opcode_row(op).wide_operands != 0; }

constexpr control_flow opcode_flow(u8 op) { return opcode_row(op).flow; }

// Operand bytes as the JVM reads them, also for the opcodes this VM refuses; -1 for the
// switches, whose length depends on their place and contents.
constexpr int jvm_operand_bytes(u8 op, bool wide) {
    const opcode_info& row = opcode_row(op);
    if (row.variable_operands) return -1;
    return wide && row.wide_operands ? row.wide_operands : row.operands;
}

// Operands of two and four bytes, most significant byte first, as class files store them.
constexpr u16 operand_u16(const u8* p) { return static_cast<u16>(p[0] << 8 | p[1]); }
constexpr u32 operand_u32(const u8* p) {
    return static_cast<u32>(p[0]) << 24 | static_cast<u32>(p[1]) << 16 |
           static_cast<u32>(p[2]) << 8 | p[3];
}

// One instruction of a method's code as the opcode table reads it: the decoder of the VM's
// proof and of the checker (which reads a switch's operands itself).
struct decoded_instruction {
    u32 at;
    u8 op;
    int operands; // operand bytes as the JVM reads them; -1 for the switches
    bool fits;    // the operands lie inside the code
    u32 next;     // offset of the following instruction
    control_flow flow;
    control_flow jvm_flow; // where the JVM goes on (also after what this VM refuses)
    s64 target;            // branch and goto: where the jump leads
    u32 operand;           // the local, constant or method reference the instruction names
};

// The instruction at offset `at` (below `length`) of `code`, with a wide prefix pending or
// not. Hazard: `code` must hold `length` bytes.
constexpr decoded_instruction decode_instruction(const u8* code, u32 length, u32 at, bool wide) {
    decoded_instruction d{};
    d.at = at;
    d.op = code[at];
    d.flow = opcode_flow(d.op);
    d.jvm_flow = opcode_row(d.op).jvm_flow;
    d.operands =
        opcode_executed(d.op) ? opcode_operand_bytes(d.op, wide) : jvm_operand_bytes(d.op, wide);
    if (d.operands < 0) {
        d.next = at + 1;
        return d;
    }
    d.next = at + 1 + static_cast<u32>(d.operands);
    d.fits = at + static_cast<u32>(d.operands) < length;
    if (!d.fits || d.operands == 0) return d;
    const u8* x = code + at;
    if (d.jvm_flow == control_flow::branch || d.jvm_flow == control_flow::jump) {
        d.target = d.operands == 4 ? at + static_cast<s64>(static_cast<s32>(operand_u32(x + 1)))
                                   : at + static_cast<s64>(static_cast<s16>(operand_u16(x + 1)));
        return d;
    }
    // A local's index is one byte, two after wide; other operands are as wide as they are.
    const int width = opcode_takes_wide(d.op) ? (wide ? 2 : 1) : (d.operands < 2 ? d.operands : 2);
    d.operand = width == 1 ? x[1] : operand_u16(x + 1);
    return d;
}

static_assert([] {
    int executed = 0;
    for (int op = 0; op < 256; ++op) executed += opcode_executed(static_cast<u8>(op));
    return executed;
}() == 146);
