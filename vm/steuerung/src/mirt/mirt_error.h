// Fatal errors and warnings of the VM: a fixed message on standard output, then the end of
// the process with status -1 (255). Nothing is returned through the call chain.
#pragma once

#include "mirt_facts.h"
#include "mirt_image.h"
#include "mirt_types.h"

// Numbered errors (vm_error) print their own messages; every other number the general one.
[[noreturn, gnu::cold]] void error(int error_id, s64 detail = 0);
void warning(int warning_id);

static_assert(FAULT_OUT_OF_BOUNDS == static_cast<int>(IMAGE_OUT_OF_BOUNDS) &&
              FAULT_NO_CODE == static_cast<int>(IMAGE_NO_CODE));
[[noreturn, gnu::cold]] void fault(vm_fault fault_id, s64 detail1 = 0, s64 detail2 = 0);

// How the process ends after a fatal message. The program exits; unit tests install a
// handler that throws, so they can observe the fatal path without dying. A handler that
// returns is followed by exit anyway.
// The last fatal message as it was printed, line break included; empty before one.
const char* last_fatal_message();

using fatal_exit_handler = void (*)(int status);
void set_fatal_exit_handler(fatal_exit_handler handler);
