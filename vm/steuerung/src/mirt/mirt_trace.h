// Text renderings of opcodes, values and the operand stack for the VM's traces.
#pragma once

#include <cstddef>

#include "mirt_types.h"

// print_opcode's text into `out`; answers its length as snprintf does.
int format_opcode(char* out, size_t size, int idx);

void print_opcode(int idx);  // no line break, ends with a blank
void dump_var(variable var); // no line break, starts and ends with a blank
void dump_stack();           // one whole line
// The two-line trace printed after an instruction with -debug.
void print_instruction_trace(int opcode, const variable (&registers)[4]);
