#include "mirt_stack.h"

#include "mirt_error.h"

void clear_stack() {
    stack_counter = 0;
    for (variable& entry : stack_storage) {
        entry.type = TYPE_VOID;
        entry.value.U64 = 0;
    }
}

void stack_overflow(variable value) {
    // The failing push still fills the last entry; the count never passes 20, so a caller
    // that survives the error (a test) cannot write beyond the array.
    stack[STACK_LIMIT] = value;
    stack_counter = STACK_ENTRIES;
    error(ERROR_STACK_OVERFLOW);
}

void stack_underflow() { error(ERROR_STACK_UNDERFLOW); }

void clear_frame() {
    frame_counter = 0;
    for (frame_info& entry : frame) {
        entry.pc = nullptr;
        entry.method = 0;
        for (variable& local : entry.local_var) {
            local.type = TYPE_VOID;
            local.value.U64 = 0;
        }
    }
}

void push_frame(const frame_info& value) {
    if (frame_counter >= FRAME_LIMIT) {
        frame[FRAME_LIMIT] = value;
        frame_counter = FRAME_ENTRIES;
        error(ERROR_FRAME_OVERFLOW);
    }
    frame[frame_counter++] = value;
}

frame_info pop_frame() {
    if (frame_counter == 0) {
        frame_info end_of_run{};
        end_of_run.method = 0xFFFF;
        return end_of_run;
    }
    return frame[--frame_counter];
}
