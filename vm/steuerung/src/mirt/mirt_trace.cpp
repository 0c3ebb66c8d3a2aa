#include "mirt_trace.h"

#include <cstdio>

#include "mirt_opcodes.h"
#include "mirt_stack.h"

int format_opcode(char* out, size_t size, int idx) {
    if (idx >= OPCODE_COUNT)
        return std::snprintf(out, size, "opcode: 0x%02x (%d) unkonwn opcode ", idx, idx);
    return std::snprintf(out, size, "opcode: 0x%02x (%d) %s ", idx, idx, opcodes[idx]);
}

void print_opcode(int idx) {
    char text[64];
    format_opcode(text, sizeof text, idx);
    std::fputs(text, stdout);
}

void dump_var(variable var) {
    const var_data& v = var.value;
    // clang-format off
    switch (var.type) {
    case TYPE_VOID:   std::printf(" void "); break;
    case TYPE_REF:    std::printf(" ref: %d ", v.U8); break;
    case TYPE_RET:    std::printf(" ret: %d ", v.U16); break;
    case TYPE_BOOL:   std::printf(" bool: %d ", v.U8); break;
    case TYPE_CHAR:   std::printf(" char: %c ", v.U8); break;
    case TYPE_FLOAT:  std::printf(" float: %f ", static_cast<double>(v.F)); break;
    case TYPE_DOUBLE: std::printf(" double: %f ", v.D); break;
    case TYPE_BYTE:   std::printf(" byte: %d ", v.U8); break;
    case TYPE_SHORT:  std::printf(" short: %d ", v.S16); break;
    case TYPE_INT:    std::printf(" int: %d ", v.S32); break;
    case TYPE_LONG:   std::printf(" long: %d ", v.S32); break; // low 32 bits only
    default:          std::printf(" NULL "); break;
    }
    // clang-format on
}

void dump_stack() {
    std::printf("\t\tStack: (%d)", stack_counter);
    for (int i = stack_counter - 1; i >= 0; --i) {
        dump_var(stack[i]);
        std::printf("\t");
    }
    std::printf("\n");
}

void print_instruction_trace(int opcode, const variable (&registers)[4]) {
    std::printf("\t\t");
    print_opcode(opcode);
    std::printf("\tvars:");
    for (const variable& local : registers) {
        dump_var(local);
        std::printf("\t");
    }
    std::printf("\n");
    dump_stack();
}
