// The VM's fixed sizes and the identifiers of its fatal ends: facts only, no state. The VM,
// the checker, the fuzz targets and the tests take them from here.
#pragma once

#include "mirt_types.h"

// Operand stack and frame stack: 20 slots each, of which 19 are usable (the push that makes
// the count 20 is fatal).
constexpr int STACK_ENTRIES = 20;
constexpr int STACK_LIMIT = 19;
constexpr int FRAME_ENTRIES = 20;
constexpr int FRAME_LIMIT = 19;
// Locals 0..3 of every activation; the one-byte load and store forms and iinc reach these.
constexpr int REGISTER_LOCALS = 4;
// The pool of further locals, shared by all methods of a package (each takes its window).
constexpr int LOCAL_POOL_ENTRIES = 20;
// Parameter slots a Java method may take: an int takes one, a long two.
constexpr int PARAMETER_SLOTS = 4;
// The largest package; the loader reads one byte more to tell a larger file.
constexpr u32 MAX_PACKAGE_SIZE = 4096;

// The numbered errors: identifier, number and fixed message, one row each. The VM's
// messages, the enum and the checker's "(error N)" all come from this list. Every number
// without a message of its own (0, the file errors, anything else) prints the general one.
// All messages but PARAMETER_TYPE's end with a newline; UNKNOWN_OPCODE's is followed by the
// opcode's line.
#define MIRT_GENERAL_ERROR_MESSAGE "ERROR: general error\n"
#define MIRT_ERRORS(X)                                                                             \
    /* native dispatch of a method not flagged native */                                           \
    X(NOT_NATIVE, 1, "ERROR: %d verweist auch keine native Funktion!\n")                           \
    /* a parameter neither int nor long */                                                         \
    X(PARAMETER_TYPE, 2, "ERROR: Function parameter has unknown type!")                            \
    /* resolution found nothing; a native without identifier */                                    \
    X(FUNCTION_NOT_FOUND, 3, "ERROR: Funktion %d nicht gefunden!\n")                               \
    /* ldc2_w of another kind of constant */                                                       \
    X(NOT_LONG_OR_DOUBLE, 4, "ERROR: expected long or double but got %d\n")                        \
    /* an opcode the VM does not execute */                                                        \
    X(UNKNOWN_OPCODE, 5, "ERROR: unknown opcode: %d (0x%2x)")                                      \
    /* more than PARAMETER_SLOTS */                                                                \
    X(TOO_MANY_PARAMETERS, 6, "ERROR: there are only 4 int params / 2 long params allowed\n")      \
    /* no method with the main identifier */                                                       \
    X(NO_MAIN, 7, "ERROR: file doesn't contain a main method!\n")                                  \
    /* ldc of a constant that does not exist */                                                    \
    X(CONSTANT_OUT_OF_RANGE, 8, "ERROR: out of range in constant pool %d\n")                       \
    /* an indexed local beyond max_locals */                                                       \
    X(LOCAL_OUT_OF_RANGE, 9, "ERROR: local var out of range: %d\n")                                \
    /* iinc beyond the register locals */                                                          \
    X(NOT_A_REGISTER_LOCAL, 10, "ERROR: not an var idx: %d\n")                                     \
    /* iinc of a slot not int; ldc of a string or class */                                         \
    X(NOT_AN_INT, 11, "ERROR: local var is not an TYPE_INT: %d\n")                                 \
    X(STACK_OVERFLOW, 12, "ERROR: stack overflow!\n")                                              \
    X(STACK_UNDERFLOW, 13, "ERROR: stack underflow!\n")                                            \
    X(HEAP_OVERFLOW, 14, "ERROR: headp overflow!\n")  /* raised by nothing */                      \
    X(HEAP_UNDERFLOW, 15, "ERROR: heap underflow!\n") /* raised by nothing */                      \
    X(FRAME_OVERFLOW, 16, "ERROR: frame overlow!\n")                                               \
    X(UNKNOWN_DATA_TYPE, 17, "ERROR: unknown data type: %d\n") /* raised by nothing */             \
    /* a method's window passes the end of the pool */                                             \
    X(LOCAL_POOL_OVERFLOW, 18, "ERROR: overflow of local variables: %d \n")                        \
    X(FILE_NOT_READABLE, 1000, MIRT_GENERAL_ERROR_MESSAGE)                                         \
    X(BAD_MAGIC, 1001, MIRT_GENERAL_ERROR_MESSAGE)

enum vm_error : int {
#define MIRT_ERROR_ENUM(name, number, message) ERROR_##name = (number),
    MIRT_ERRORS(MIRT_ERROR_ENUM)
#undef MIRT_ERROR_ENUM
};

struct error_row {
    int number;
    const char* message;
};
inline constexpr error_row error_rows[] = {
#define MIRT_ERROR_ROW(name, number, message) {(number), (message)},
    MIRT_ERRORS(MIRT_ERROR_ROW)
#undef MIRT_ERROR_ROW
};

// The fixed message of error `id` (as the VM takes it: its low 16 bits), or the general one.
constexpr const char* error_message(int id) {
    for (const error_row& row : error_rows)
        if (row.number == static_cast<u16>(id)) return row.message;
    return MIRT_GENERAL_ERROR_MESSAGE;
}

// Faults the numbered table has no words for: damaged packages, a file too large to be a
// package, integer division by zero, code that leaves its method. The first five are the
// image layer's problems (mirt_image.h), with the same numbers.
enum vm_fault : int {
    FAULT_OUT_OF_BOUNDS = 1,
    FAULT_NO_CONSTANT,
    FAULT_WRONG_CONSTANT,
    FAULT_NO_METHOD,
    FAULT_NO_CODE,
    FAULT_FILE_TOO_LARGE,
    FAULT_NOT_A_CLASS_IMAGE,
    FAULT_BAD_DESCRIPTOR,
    FAULT_PAST_CODE_END,
    FAULT_JUMP_OUTSIDE_CODE,
    FAULT_DIVISION_BY_ZERO,
};

// Status of every fatal end: -1 as the platform reports it.
constexpr int FATAL_EXIT_STATUS = 255;
