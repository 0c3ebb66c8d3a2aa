// mirt_emulator [-debug] input.prg: loads a package and runs its main.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#if __has_include(<unistd.h>)
#include <unistd.h> // isatty, from the host's C library
#define MIRT_KNOWS_TERMINALS 1
#endif

#include "../mirt/mirt.h"
#include "../mirt/mirt_error.h"
#include "emulate.h"
#include "host_files.h"

namespace {

constexpr int EMULATOR_VERSION = 1;
constexpr int USAGE_STATUS = 1; // nothing ran
constexpr const char* PROGRAM = "mirt_emulator";

void print_usage() { std::printf("Usage:\n\n\tmirt_emulator.exe [-debug] input.prg\n"); }

// A fatal end still reports drive output that could not be written.
void end_after_fatal_message(int status) {
    std::exit(host::checked_exit_status(PROGRAM, status, FATAL_EXIT_STATUS));
}

struct options {
    bool is_debug = false;
    const char* file = nullptr;
};

// Options come before the package file. A single argument is always the file, also when it
// reads -debug; anything else that begins with '-' and is no option is refused. Answers the
// status to end with, or -1 to run.
int parse_options(int cnt, char** params, options& o) {
    for (int i = 1; i < cnt; ++i) {
        if (std::strcmp(params[i], "-h") == 0 || std::strcmp(params[i], "--help") == 0) {
            print_usage();
            return 0;
        }
    }
    if (cnt < 2) {
        print_usage();
        return USAGE_STATUS;
    }
    for (int i = 1; i < cnt - 1; ++i) {
        const char* option = params[i];
        if (std::strcmp(option, "-debug") == 0 && !o.is_debug) {
            o.is_debug = true;
        } else {
            print_usage();
            return USAGE_STATUS;
        }
    }
    o.file = params[cnt - 1];
    if (cnt > 2 && o.file[0] == '-') {
        print_usage();
        return USAGE_STATUS;
    }
    if (cnt == 2 && o.file[0] == '-' && std::strcmp(o.file, "-debug") != 0) {
        std::printf("unknown option: %s\n", o.file);
        print_usage();
        return USAGE_STATUS;
    }
    return -1;
}

int emulate(int cnt, char** params) {
    // Into a file or a pipe the trace goes in large blocks: the standard buffer would make
    // a system call every few lines. A terminal keeps its line buffering, so a user watching
    // sees each line when it is printed. Every end of the program leaves through exit,
    // which writes out what is buffered.
#ifdef MIRT_KNOWS_TERMINALS
    static char output_buffer[1 << 16];
    if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
#endif
    std::printf("mirt emulator version %d\n", EMULATOR_VERSION);
    options o;
    const int status = parse_options(cnt, params, o);
    if (status >= 0) return status;
    set_fatal_exit_handler(end_after_fatal_message);
    load_file(o.file, o.is_debug);
    vm_init();
    if (vm_run() != '+') fault(FAULT_NOT_A_CLASS_IMAGE, mirt2_package::first_class_info);
    free_vm();
    return 0;
}

} // namespace

int main(int cnt, char** params) {
    int status;
    try {
        status = emulate(cnt, params);
    } catch (const std::exception& e) {
        std::printf("ERROR: the emulator stopped: %s\n", e.what());
        status = FATAL_EXIT_STATUS;
    } catch (...) {
        std::printf("ERROR: the emulator stopped\n");
        status = FATAL_EXIT_STATUS;
    }
    return host::checked_exit_status(PROGRAM, status, FATAL_EXIT_STATUS);
}
