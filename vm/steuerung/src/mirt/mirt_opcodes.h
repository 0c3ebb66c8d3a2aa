// Opcode values and mnemonics 0x00..0xca, listed once: the interpreter's case labels, the
// trace and every disassembly are expansions of this one list.
#pragma once

#include "mirt_types.h"

// X(value, mnemonic), in opcode order.
#define MIRT_OPCODE_LIST(X)                                                                        \
    X(0x00, nop)                                                                                   \
    X(0x01, aconst_null)                                                                           \
    X(0x02, iconst_m1)                                                                             \
    X(0x03, iconst_0)                                                                              \
    X(0x04, iconst_1)                                                                              \
    X(0x05, iconst_2)                                                                              \
    X(0x06, iconst_3)                                                                              \
    X(0x07, iconst_4)                                                                              \
    X(0x08, iconst_5)                                                                              \
    X(0x09, lconst_0)                                                                              \
    X(0x0a, lconst_1)                                                                              \
    X(0x0b, fconst_0)                                                                              \
    X(0x0c, fconst_1)                                                                              \
    X(0x0d, fconst_2)                                                                              \
    X(0x0e, dconst_0)                                                                              \
    X(0x0f, dconst_1)                                                                              \
    X(0x10, bipush)                                                                                \
    X(0x11, sipush)                                                                                \
    X(0x12, ldc)                                                                                   \
    X(0x13, ldc_w)                                                                                 \
    X(0x14, ldc2_w)                                                                                \
    X(0x15, iload)                                                                                 \
    X(0x16, lload)                                                                                 \
    X(0x17, fload)                                                                                 \
    X(0x18, dload)                                                                                 \
    X(0x19, aload)                                                                                 \
    X(0x1a, iload_0)                                                                               \
    X(0x1b, iload_1)                                                                               \
    X(0x1c, iload_2)                                                                               \
    X(0x1d, iload_3)                                                                               \
    X(0x1e, lload_0)                                                                               \
    X(0x1f, lload_1)                                                                               \
    X(0x20, lload_2)                                                                               \
    X(0x21, lload_3)                                                                               \
    X(0x22, fload_0)                                                                               \
    X(0x23, fload_1)                                                                               \
    X(0x24, fload_2)                                                                               \
    X(0x25, fload_3)                                                                               \
    X(0x26, dload_0)                                                                               \
    X(0x27, dload_1)                                                                               \
    X(0x28, dload_2)                                                                               \
    X(0x29, dload_3)                                                                               \
    X(0x2a, aload_0)                                                                               \
    X(0x2b, aload_1)                                                                               \
    X(0x2c, aload_2)                                                                               \
    X(0x2d, aload_3)                                                                               \
    X(0x2e, iaload)                                                                                \
    X(0x2f, laload)                                                                                \
    X(0x30, faload)                                                                                \
    X(0x31, daload)                                                                                \
    X(0x32, aaload)                                                                                \
    X(0x33, baload)                                                                                \
    X(0x34, caload)                                                                                \
    X(0x35, saload)                                                                                \
    X(0x36, istore)                                                                                \
    X(0x37, lstore)                                                                                \
    X(0x38, fstore)                                                                                \
    X(0x39, dstore)                                                                                \
    X(0x3a, astore)                                                                                \
    X(0x3b, istore_0)                                                                              \
    X(0x3c, istore_1)                                                                              \
    X(0x3d, istore_2)                                                                              \
    X(0x3e, istore_3)                                                                              \
    X(0x3f, lstore_0)                                                                              \
    X(0x40, lstore_1)                                                                              \
    X(0x41, lstore_2)                                                                              \
    X(0x42, lstore_3)                                                                              \
    X(0x43, fstore_0)                                                                              \
    X(0x44, fstore_1)                                                                              \
    X(0x45, fstore_2)                                                                              \
    X(0x46, fstore_3)                                                                              \
    X(0x47, dstore_0)                                                                              \
    X(0x48, dstore_1)                                                                              \
    X(0x49, dstore_2)                                                                              \
    X(0x4a, dstore_3)                                                                              \
    X(0x4b, astore_0)                                                                              \
    X(0x4c, astore_1)                                                                              \
    X(0x4d, astore_2)                                                                              \
    X(0x4e, astore_3)                                                                              \
    X(0x4f, iastore)                                                                               \
    X(0x50, lastore)                                                                               \
    X(0x51, fastore)                                                                               \
    X(0x52, dastore)                                                                               \
    X(0x53, aastore)                                                                               \
    X(0x54, bastore)                                                                               \
    X(0x55, castore)                                                                               \
    X(0x56, sastore)                                                                               \
    X(0x57, pop)                                                                                   \
    X(0x58, pop2)                                                                                  \
    X(0x59, dup)                                                                                   \
    X(0x5a, dup_x1)                                                                                \
    X(0x5b, dup_x2)                                                                                \
    X(0x5c, dup2)                                                                                  \
    X(0x5d, dup2_x1)                                                                               \
    X(0x5e, dup2_x2)                                                                               \
    X(0x5f, swap)                                                                                  \
    X(0x60, iadd)                                                                                  \
    X(0x61, ladd)                                                                                  \
    X(0x62, fadd)                                                                                  \
    X(0x63, dadd)                                                                                  \
    X(0x64, isub)                                                                                  \
    X(0x65, lsub)                                                                                  \
    X(0x66, fsub)                                                                                  \
    X(0x67, dsub)                                                                                  \
    X(0x68, imul)                                                                                  \
    X(0x69, lmul)                                                                                  \
    X(0x6a, fmul)                                                                                  \
    X(0x6b, dmul)                                                                                  \
    X(0x6c, idiv)                                                                                  \
    X(0x6d, ldiv)                                                                                  \
    X(0x6e, fdiv)                                                                                  \
    X(0x6f, ddiv)                                                                                  \
    X(0x70, irem)                                                                                  \
    X(0x71, lrem)                                                                                  \
    X(0x72, frem)                                                                                  \
    X(0x73, drem)                                                                                  \
    X(0x74, ineg)                                                                                  \
    X(0x75, lneg)                                                                                  \
    X(0x76, fneg)                                                                                  \
    X(0x77, dneg)                                                                                  \
    X(0x78, ishl)                                                                                  \
    X(0x79, lshl)                                                                                  \
    X(0x7a, ishr)                                                                                  \
    X(0x7b, lshr)                                                                                  \
    X(0x7c, iushr)                                                                                 \
    X(0x7d, lushr)                                                                                 \
    X(0x7e, iand)                                                                                  \
    X(0x7f, land)                                                                                  \
    X(0x80, ior)                                                                                   \
    X(0x81, lor)                                                                                   \
    X(0x82, ixor)                                                                                  \
    X(0x83, lxor)                                                                                  \
    X(0x84, iinc)                                                                                  \
    X(0x85, i2l)                                                                                   \
    X(0x86, i2f)                                                                                   \
    X(0x87, i2d)                                                                                   \
    X(0x88, l2i)                                                                                   \
    X(0x89, l2f)                                                                                   \
    X(0x8a, l2d)                                                                                   \
    X(0x8b, f2i)                                                                                   \
    X(0x8c, f2l)                                                                                   \
    X(0x8d, f2d)                                                                                   \
    X(0x8e, d2i)                                                                                   \
    X(0x8f, d2l)                                                                                   \
    X(0x90, d2f)                                                                                   \
    X(0x91, i2b)                                                                                   \
    X(0x92, i2c)                                                                                   \
    X(0x93, i2s)                                                                                   \
    X(0x94, lcmp)                                                                                  \
    X(0x95, fcmpl)                                                                                 \
    X(0x96, fcmpg)                                                                                 \
    X(0x97, dcmpl)                                                                                 \
    X(0x98, dcmpg)                                                                                 \
    X(0x99, ifeq)                                                                                  \
    X(0x9a, ifne)                                                                                  \
    X(0x9b, iflt)                                                                                  \
    X(0x9c, ifge)                                                                                  \
    X(0x9d, ifgt)                                                                                  \
    X(0x9e, ifle)                                                                                  \
    X(0x9f, if_icmpeq)                                                                             \
    X(0xa0, if_icmpne)                                                                             \
    X(0xa1, if_icmplt)                                                                             \
    X(0xa2, if_icmpge)                                                                             \
    X(0xa3, if_icmpgt)                                                                             \
    X(0xa4, if_icmple)                                                                             \
    X(0xa5, if_acmpeq)                                                                             \
    X(0xa6, if_acmpne)                                                                             \
    X(0xa7, goto)                                                                                  \
    X(0xa8, jsr)                                                                                   \
    X(0xa9, ret)                                                                                   \
    X(0xaa, tableswitch)                                                                           \
    X(0xab, lookupswitch)                                                                          \
    X(0xac, ireturn)                                                                               \
    X(0xad, lreturn)                                                                               \
    X(0xae, freturn)                                                                               \
    X(0xaf, dreturn)                                                                               \
    X(0xb0, areturn)                                                                               \
    X(0xb1, return )                                                                               \
    X(0xb2, getstatic)                                                                             \
    X(0xb3, putstatic)                                                                             \
    X(0xb4, getfield)                                                                              \
    X(0xb5, putfield)                                                                              \
    X(0xb6, invokevirtual)                                                                         \
    X(0xb7, invokespecial)                                                                         \
    X(0xb8, invokestatic)                                                                          \
    X(0xb9, invokeinterface)                                                                       \
    X(0xba, xxxunusedxxx1)                                                                         \
    X(0xbb, new)                                                                                   \
    X(0xbc, newarray)                                                                              \
    X(0xbd, anewarray)                                                                             \
    X(0xbe, arraylength)                                                                           \
    X(0xbf, athrow)                                                                                \
    X(0xc0, checkcast)                                                                             \
    X(0xc1, instanceof)                                                                            \
    X(0xc2, monitorenter)                                                                          \
    X(0xc3, monitorexit)                                                                           \
    X(0xc4, wide)                                                                                  \
    X(0xc5, multianewarray)                                                                        \
    X(0xc6, ifnull)                                                                                \
    X(0xc7, ifnonnull)                                                                             \
    X(0xc8, goto_w)                                                                                \
    X(0xc9, jsr_w)                                                                                 \
    X(0xca, breakpoint)

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
#define MIRT_OPCODE_ENUM(value, name) OP_##name = value,
    MIRT_OPCODE_LIST(MIRT_OPCODE_ENUM)
#undef MIRT_OPCODE_ENUM
};

constexpr int OPCODE_COUNT = 203; // 0x00 (nop) .. 0xca (breakpoint); 0xcb..0xff have no name

// Both lists run in value order without gaps, so that tables indexed by value (the
// mnemonics, the interpreter's handler addresses) can be built from them.
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

// Whether the VM executes `op`; every other byte value ends a run with error 5. Shared by
// the interpreter's tests and the checker, so the two cannot disagree.
constexpr bool opcode_executed(u8 op) {
    if (op <= OP_ldc2_w) return true;
    if ((op >= OP_iload && op <= OP_dload) || (op >= OP_iload_0 && op <= OP_dload_3)) return true;
    if ((op >= OP_istore && op <= OP_dstore) || (op >= OP_istore_0 && op <= OP_dstore_3))
        return true;
    if (op >= OP_pop && op <= OP_lxor) return op != OP_frem && op != OP_drem;
    if (op >= OP_iinc && op <= OP_if_icmple) return true;
    if (op == OP_goto || (op >= OP_ireturn && op <= OP_dreturn) || op == OP_return) return true;
    return op == OP_invokestatic || op == OP_wide || op == OP_goto_w;
}

// Operand bytes after an executed opcode (after a pending wide where `wide`); 0 for those
// without operands and for the opcodes the VM does not execute.
constexpr int opcode_operand_bytes(u8 op, bool wide) {
    switch (op) {
    case OP_bipush:
    case OP_ldc: return 1;
    case OP_sipush:
    case OP_ldc_w:
    case OP_ldc2_w:
    case OP_invokestatic:
    case OP_goto: return 2;
    case OP_iload:
    case OP_lload:
    case OP_fload:
    case OP_dload:
    case OP_istore:
    case OP_lstore:
    case OP_fstore:
    case OP_dstore: return wide ? 2 : 1;
    case OP_iinc: return wide ? 4 : 2;
    case OP_goto_w: return 4;
    default: return op >= OP_ifeq && op <= OP_if_icmple ? 2 : 0;
    }
}
