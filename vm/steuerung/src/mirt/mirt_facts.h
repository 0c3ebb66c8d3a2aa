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

// The numbered errors, each with its fixed message; every other number prints the general
// message.
enum vm_error : int {
    ERROR_NOT_NATIVE = 1,            // native dispatch of a method not flagged native
    ERROR_PARAMETER_TYPE = 2,        // a parameter neither int nor long
    ERROR_FUNCTION_NOT_FOUND = 3,    // resolution found nothing; a native without identifier
    ERROR_NOT_LONG_OR_DOUBLE = 4,    // ldc2_w of another kind of constant
    ERROR_UNKNOWN_OPCODE = 5,        // an opcode the VM does not execute
    ERROR_TOO_MANY_PARAMETERS = 6,   // more than PARAMETER_SLOTS
    ERROR_NO_MAIN = 7,               // no method with the main identifier
    ERROR_CONSTANT_OUT_OF_RANGE = 8, // ldc of a constant that does not exist
    ERROR_LOCAL_OUT_OF_RANGE = 9,    // an indexed local beyond max_locals
    ERROR_NOT_A_REGISTER_LOCAL = 10, // iinc beyond the register locals
    ERROR_NOT_AN_INT = 11,           // iinc of a slot not int; ldc of a string or class
    ERROR_STACK_OVERFLOW = 12,
    ERROR_STACK_UNDERFLOW = 13,
    ERROR_HEAP_OVERFLOW = 14,  // raised by nothing
    ERROR_HEAP_UNDERFLOW = 15, // raised by nothing
    ERROR_FRAME_OVERFLOW = 16,
    ERROR_UNKNOWN_DATA_TYPE = 17,   // raised by nothing
    ERROR_LOCAL_POOL_OVERFLOW = 18, // a method's window passes the end of the pool
    ERROR_FILE_NOT_READABLE = 1000, // general message
    ERROR_BAD_MAGIC = 1001,         // general message
};

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
