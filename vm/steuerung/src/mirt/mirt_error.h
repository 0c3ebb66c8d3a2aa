// Fatal errors and warnings of the VM: a fixed message on standard output, then the end of
// the process with status -1 (255). Nothing is returned through the call chain.
#pragma once

#include "mirt_image.h"
#include "mirt_types.h"

// Numbered errors 1..18 have their own messages; every other number prints the general one.
constexpr int ERROR_FILE_NOT_READABLE = 1000;
constexpr int ERROR_BAD_MAGIC = 1001;

[[noreturn, gnu::cold]] void error(int error_id, s64 detail = 0);
void warning(int warning_id);

// Faults that the numbered table has no words for: damaged packages, a file too large to
// be a package, integer division by zero, code that leaves its method. Same fatal path.
enum vm_fault : int {
    FAULT_OUT_OF_BOUNDS = IMAGE_OUT_OF_BOUNDS,
    FAULT_NO_CONSTANT = IMAGE_NO_CONSTANT,
    FAULT_WRONG_CONSTANT = IMAGE_WRONG_CONSTANT,
    FAULT_NO_METHOD = IMAGE_NO_METHOD,
    FAULT_NO_CODE = IMAGE_NO_CODE,
    FAULT_FILE_TOO_LARGE,
    FAULT_NOT_A_CLASS_IMAGE,
    FAULT_BAD_DESCRIPTOR,
    FAULT_PAST_CODE_END,
    FAULT_JUMP_OUTSIDE_CODE,
    FAULT_DIVISION_BY_ZERO,
};

[[noreturn, gnu::cold]] void fault(vm_fault fault_id, s64 detail1 = 0, s64 detail2 = 0);

// How the process ends after a fatal message. The program exits; unit tests install a
// handler that throws, so they can observe the fatal path without dying. A handler that
// returns is followed by exit anyway.
using fatal_exit_handler = void (*)(int status);
void set_fatal_exit_handler(fatal_exit_handler handler);

// Status of every fatal end: -1 as the platform reports it.
constexpr int FATAL_EXIT_STATUS = 255;
