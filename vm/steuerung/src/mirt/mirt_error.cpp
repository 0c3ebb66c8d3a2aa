#include "mirt_error.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "mirt_state.h"
#include "mirt_trace.h"

namespace {

fatal_exit_handler exit_handler = nullptr;
void print_kept() { std::fputs(last_fatal_text, stdout); }

// Index = vm_fault.
const char* const fault_messages[] = {
    nullptr,
    "ERROR: malformed package: %u bytes at offset %u lie outside the loaded file\n",
    "ERROR: malformed package: constant %d does not exist\n",
    "ERROR: malformed package: constant %d has the wrong kind (tag %d)\n",
    "ERROR: malformed package: method %d does not exist\n",
    "ERROR: malformed package: method %d has no Code attribute\n",
    "ERROR: file is larger than %u bytes, the largest package there can be\n",
    "ERROR: the directory entry at package offset %u does not lead to a class image\n",
    "ERROR: malformed package: the descriptor of method %d cannot be read\n",
    "ERROR: execution ran past the end of the method's code (%u bytes)\n",
    "ERROR: jump from code offset %d to %d leaves the method's code\n",
    "ERROR: division by zero at code offset %u\n",
};
static_assert(sizeof fault_messages / sizeof fault_messages[0] == FAULT_DIVISION_BY_ZERO + 1);

[[noreturn]] void end_process() {
    std::fflush(stdout);
    if (exit_handler) exit_handler(FATAL_EXIT_STATUS);
    std::exit(FATAL_EXIT_STATUS);
}

} // namespace

void set_fatal_exit_handler(fatal_exit_handler handler) { exit_handler = handler; }

const char* last_fatal_message() { return last_fatal_text; }

void error(int error_id, s64 detail) {
    int value = static_cast<int>(detail);
    const size_t size = sizeof last_fatal_text;
    size_t n = static_cast<size_t>(
        std::max(0, std::snprintf(last_fatal_text, size, error_message(error_id), value, value)));
    if (static_cast<u16>(error_id) == ERROR_UNKNOWN_OPCODE && n < size) {
        n += static_cast<size_t>(std::max(0, format_opcode(last_fatal_text + n, size - n, value)));
        if (n < size) std::snprintf(last_fatal_text + n, size - n, "\n");
    }
    print_kept();
    end_process();
}

void warning(int warning_id) {
    std::printf(warning_id == 1 ? "WARNING: Function not supported!\n"
                                : "WARNING: general warning\n");
}

void fault(vm_fault fault_id, s64 detail1, s64 detail2) {
    std::snprintf(last_fatal_text, sizeof last_fatal_text, fault_messages[fault_id],
                  static_cast<int>(detail1), static_cast<int>(detail2));
    print_kept();
    end_process();
}
