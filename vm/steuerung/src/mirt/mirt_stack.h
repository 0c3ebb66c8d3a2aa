// The operand stack (shared by every activation) and the frame stack of saved callers.
// Both hold at most 19 entries: the push that makes the count 20 is fatal.
#pragma once

#include "mirt_facts.h"
#include "mirt_image.h"
#include "mirt_state.h"
#include "mirt_types.h"

// The operand stack's entries are stack[0..19]. Below them lies one spare entry that holds
// no value of the program: the interpreter keeps the top entry's value bytes in a register
// and reloads that register from the entry below whenever it pops, also when the stack
// runs empty.
constexpr variable* stack = &stack_storage[1];

void clear_stack();
// The failure paths of push_stack and pop_stack; they do not return.
[[noreturn, gnu::cold]] void stack_overflow(variable value);
[[noreturn, gnu::cold]] void stack_underflow();

// Inline: every instruction pushes or pops.
inline void push_stack(variable value) {
    if (stack_counter >= STACK_LIMIT) stack_overflow(value);
    stack[stack_counter++] = value;
}
inline variable pop_stack() {
    if (stack_counter == 0) stack_underflow();
    return stack[--stack_counter];
}

void clear_frame();
void push_frame(const frame_info& value);
// On an empty frame stack: the end-of-run record, null `pc` and method 0xFFFF.
frame_info pop_frame();
