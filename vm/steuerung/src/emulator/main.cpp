// mirt_emulator [-debug] input.prg: loads a package and runs its main.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#if __has_include(<unistd.h>)
#include <unistd.h> // isatty, from the host's C library
#define MIRT_KNOWS_TERMINALS 1
#endif

#include "../mirt/mirt.h"
#include "../mirt/mirt_error.h"
#include "drive_record.h"
#include "drive_script.h"
#include "emulate.h"
#include "harness.h"
#include "host_files.h"
#include "jdwp_server.h"

namespace {

constexpr int EMULATOR_VERSION = 1;
constexpr int USAGE_STATUS = 1; // nothing ran
constexpr const char* PROGRAM = "mirt_emulator";

void print_usage() { std::printf("Usage:\n\n\tmirt_emulator.exe [-debug] input.prg\n"); }

void print_help() {
    print_usage();
    std::printf("\nOptions, before the package file:\n"
                "\t-debug         trace every instruction\n"
                "\t-q             print only what the program does: DRIVE, WARNING, ERROR and "
                "STOP lines\n"
                "\t-max-steps N   stop after N instructions (status 2)\n"
                "\t-max-ms T      stop when the emulated clock passes T ms (status 2)\n"
                "\t-expect FILE   compare the DRIVE lines with FILE (status 3 at a difference)\n"
                "\t-map FILE      the linker's map: after a fault, the calls that led there with "
                "their source lines\n"
                "\t-inputs FILE   what the Get functions return over emulated time (lines "
                "\"<ms> <Function> [<channel>] <value>\")\n"
                "\t-clock-us U    the emulated clock advances U microseconds per instruction\n"
                "\t-vcd FILE      record the drive calls as a Value Change Dump (1 ms steps)\n"
                "\t-csv FILE      record every drive call as a CSV row\n"
                "\t-svg FILE      draw the drive calls as step plots over emulated time\n"
                "\t-jdwp [HOST:]PORT  wait for a Java debugger (jdb, an IDE) at PORT (0: any "
                "free port), on 127.0.0.1 unless HOST is given; needs -map\n");
}

// A fatal end still reports drive output that could not be written, and expected drive
// lines the run did not reach.
void end_after_fatal_message(int status) {
    jdwp::stop_at_fault();
    print_stack_trace();
    status = drive_record::finish(expected_end_status(status), emulated_ms());
    std::exit(host::checked_exit_status(PROGRAM, status, FATAL_EXIT_STATUS));
}

struct options {
    bool is_debug = false;
    bool quiet = false;
    u64 max_steps = NO_BOUND;
    u64 max_ms = NO_BOUND;
    const char* expect = nullptr;
    const char* map = nullptr;
    const char* inputs = nullptr;
    u64 clock_us = 0;
    drive_record::paths recordings;
    const char* jdwp = nullptr;
    jdwp::address debugger;
    const char* file = nullptr;
};

// A recording must not replace what the run reads, nor another recording.
bool recordings_are_apart(const options& o, std::string& problem) {
    const char* outputs[] = {o.recordings.vcd, o.recordings.csv, o.recordings.svg};
    const char* inputs[] = {o.file, o.expect, o.map, o.inputs};
    for (size_t i = 0; i < std::size(outputs); ++i) {
        if (!outputs[i]) continue;
        const auto out = host::identity_of(outputs[i]);
        auto same = [&](const char* other) {
            if (!other) return false;
            if (std::strcmp(other, outputs[i]) == 0) return true;
            const auto identity = host::identity_of(other);
            return out && identity && *out == *identity;
        };
        for (const char* input : inputs) {
            if (same(input)) {
                problem = std::string("the recording ") + outputs[i] + " would replace the input " +
                          input;
                return false;
            }
        }
        for (size_t k = 0; k < i; ++k) {
            if (same(outputs[k])) {
                problem = std::string("two recordings would be written to ") + outputs[i];
                return false;
            }
        }
    }
    return true;
}

// A count: decimal digits only, no sign, within 64 bits.
bool parse_count(const char* text, u64& value) {
    if (!*text) return false;
    value = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9') return false;
        const u64 digit = static_cast<u64>(*c - '0');
        if (value > (NO_BOUND - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// Options come before the package file. A single argument is always the file, also when it
// reads -debug; anything else that begins with '-' and is no option, an option given twice,
// or a bad value is refused. Answers the status to end with, or -1 to run.
int parse_options(int cnt, char** params, options& o) {
    for (int i = 1; i < cnt; ++i) {
        if (std::strcmp(params[i], "-h") == 0 || std::strcmp(params[i], "--help") == 0) {
            print_help();
            return 0;
        }
    }
    if (cnt == 2 && params[1][0] == '-' && std::strcmp(params[1], "-debug") != 0) {
        std::printf("unknown option: %s\n", params[1]);
        print_usage();
        return USAGE_STATUS;
    }
    bool valid = cnt >= 2;
    for (int i = 1; valid && i < cnt - 1; ++i) {
        const char* option = params[i];
        const bool has_value = i + 1 < cnt - 1;
        if (std::strcmp(option, "-debug") == 0 && !o.is_debug) {
            o.is_debug = true;
        } else if (std::strcmp(option, "-q") == 0 && !o.quiet) {
            o.quiet = true;
        } else if (std::strcmp(option, "-max-steps") == 0 && o.max_steps == NO_BOUND) {
            valid = has_value && parse_count(params[++i], o.max_steps) && o.max_steps > 0 &&
                    o.max_steps != NO_BOUND;
        } else if (std::strcmp(option, "-max-ms") == 0 && o.max_ms == NO_BOUND) {
            valid = has_value && parse_count(params[++i], o.max_ms) && o.max_ms != NO_BOUND;
        } else if (std::strcmp(option, "-expect") == 0 && !o.expect) {
            valid = has_value;
            o.expect = params[++i];
        } else if (std::strcmp(option, "-map") == 0 && !o.map) {
            valid = has_value;
            o.map = params[++i];
        } else if (std::strcmp(option, "-inputs") == 0 && !o.inputs) {
            valid = has_value;
            o.inputs = params[++i];
        } else if (std::strcmp(option, "-clock-us") == 0 && !o.clock_us) {
            valid = has_value && parse_count(params[++i], o.clock_us) && o.clock_us > 0;
        } else if (std::strcmp(option, "-vcd") == 0 && !o.recordings.vcd) {
            valid = has_value;
            o.recordings.vcd = params[++i];
        } else if (std::strcmp(option, "-csv") == 0 && !o.recordings.csv) {
            valid = has_value;
            o.recordings.csv = params[++i];
        } else if (std::strcmp(option, "-jdwp") == 0 && !o.jdwp) {
            valid = has_value && jdwp::parse_address(params[i + 1], o.debugger);
            o.jdwp = params[++i];
        } else if (std::strcmp(option, "-svg") == 0 && !o.recordings.svg) {
            valid = has_value;
            o.recordings.svg = params[++i];
        } else {
            valid = false;
        }
    }
    if (valid) o.file = params[cnt - 1];
    if (valid && o.jdwp && !o.map) {
        std::printf("ERROR: -jdwp needs -map: the debugger sees the program through the map\n");
        print_usage();
        return USAGE_STATUS;
    }
    if (valid && cnt > 2 && o.file[0] == '-') valid = false;
    if (!valid) {
        print_usage();
        return USAGE_STATUS;
    }
    if (o.expect) {
        std::string problem;
        if (!load_expected_lines(o.expect, problem)) {
            std::printf("ERROR: the expected output %s cannot be read (%s)\n", o.expect,
                        problem.c_str());
            print_usage();
            return USAGE_STATUS;
        }
    }
    if (o.map) {
        std::string problem;
        if (!load_package_map(o.map, o.file, problem)) {
            std::printf("ERROR: %s\n", problem.c_str());
            return USAGE_STATUS;
        }
    }
    if (o.inputs) {
        std::string problem;
        if (!drive_script::load(o.inputs, problem)) {
            std::printf("ERROR: %s\n", problem.c_str());
            return USAGE_STATUS;
        }
    }
    std::string problem;
    if (!recordings_are_apart(o, problem) || !drive_record::open(o.recordings, problem)) {
        std::printf("ERROR: %s\n", problem.c_str());
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
    if (!isatty(STDOUT_FILENO))
        std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    else
        batch_trace_output = false;
#endif
    // A quiet run prints not even the version line: the options are read first.
    options o;
    bool asks_quiet = false;
    for (int i = 1; i + 1 < cnt; ++i) asks_quiet |= std::strcmp(params[i], "-q") == 0;
    if (!asks_quiet) std::printf("mirt emulator version %d\n", EMULATOR_VERSION);
    const int status = parse_options(cnt, params, o);
    if (status >= 0) return status;
    quiet = o.quiet;
    clock_us_per_instruction = o.clock_us;
    set_fatal_exit_handler(end_after_fatal_message);
    install_run_control(o.max_steps, o.max_ms);
    load_file(o.file, o.is_debug);
    vm_init();
    if (o.jdwp) {
        std::string problem;
        if (!jdwp::attach(o.debugger, *loaded_package_map(), problem)) {
            std::printf("ERROR: %s\n", problem.c_str());
            return USAGE_STATUS;
        }
        if (vm_start() != '+') fault(FAULT_NOT_A_CLASS_IMAGE, mirt2_package::first_class_info);
        jdwp::run();
    } else if (vm_run() != '+') {
        fault(FAULT_NOT_A_CLASS_IMAGE, mirt2_package::first_class_info);
    }
    free_vm();
    return drive_record::finish(expected_end_status(0), emulated_ms());
}

} // namespace

int main(int cnt, char** params) {
    return host::run_program(PROGRAM, emulate, cnt, params, FATAL_EXIT_STATUS, FATAL_EXIT_STATUS);
}
