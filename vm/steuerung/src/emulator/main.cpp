// mirt_emulator [-debug] input.prg: loads a package and runs its main.
#include <cstdio>
#include <cstring>
#if __has_include(<unistd.h>)
#include <unistd.h> // isatty, from the host's C library
#define MIRT_KNOWS_TERMINALS 1
#endif

#include "../mirt/mirt.h"
#include "../mirt/mirt_error.h"
#include "emulate.h"

namespace {
constexpr int EMULATOR_VERSION = 1;
constexpr int USAGE_STATUS = 1; // nothing ran
} // namespace

int main(int cnt, char** params) {
    // Into a file or a pipe the trace goes in large blocks: the standard buffer would make
    // a system call every few lines. A terminal keeps its line buffering, so a user watching
    // sees each line when it is printed. Every end of the program leaves through exit,
    // which writes out what is buffered.
#ifdef MIRT_KNOWS_TERMINALS
    static char output_buffer[1 << 16];
    if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
#endif
    std::printf("mirt emulator version %d\n", EMULATOR_VERSION);
    bool is_debug = false;
    int file_in = 1;
    if (cnt == 3 && std::strcmp(params[1], "-debug") == 0) {
        is_debug = true;
        file_in = 2;
    } else if (cnt != 2) {
        std::printf("Usage:\n\n\tmirt_emulator.exe [-debug] input.prg\n");
        return USAGE_STATUS;
    }
    load_file(params[file_in], is_debug);
    vm_init();
    if (vm_run() != '+') fault(FAULT_NOT_A_CLASS_IMAGE, mirt2_package::first_class_info);
    free_vm();
    return 0;
}
