// mirt_emulator [-debug] input.prg: loads a package and runs its main.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>
#if __has_include(<unistd.h>)
#include <unistd.h> // isatty, from the host's C library
#define MIRT_KNOWS_TERMINALS 1
#endif

#include "../mirt/mirt.h"
#include "../mirt/mirt_error.h"
#include "coverage.h"
#include "drive_axis.h"
#include "drive_record.h"
#include "drive_script.h"
#include "emulate.h"
#include "harness.h"
#include "command_line.h"
#include "host_files.h"
#include "jdwp_server.h"

namespace {

constexpr int EMULATOR_VERSION = 1;
constexpr int USAGE_STATUS = 1; // nothing ran
constexpr const char* PROGRAM = "mirt_emulator";

void print_usage() { std::printf("Usage:\n\n\tmirt_emulator.exe [-debug] input.prg\n"); }

// A fatal end still reports drive output that could not be written, and expected drive
// lines the run did not reach.
void end_after_fatal_message(int status) {
    jdwp::stop_at_fault();
    print_stack_trace();
    drive_axis::sample_until(emulated_ms());
    status =
        coverage::finish(drive_record::finish(expected_end_status(status, true), emulated_ms()));
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
    const char* drive = nullptr;
    u64 clock_us = 0;
    const char* coverage = nullptr;
    drive_record::paths recordings;
    const char* svg_window = nullptr; // "FROM:TO", read into recordings once all are read
    const char* jdwp = nullptr;
    jdwp::address debugger;
    const char* file = nullptr;
};

// Every option of the emulator, once: what it takes, its help and where it is kept.
host::option_table option_rows(options& o) {
    constexpr u64 any = NO_BOUND - 1; // NO_BOUND itself means "no bound"
    return {
        {"-debug", nullptr, "trace every instruction", &o.is_debug},
        {"-q", nullptr, "print only what the program does: DRIVE, WARNING, ERROR and STOP lines",
         &o.quiet},
        {"-max-steps", "N", "stop after N instructions (status 2)",
         host::count_value{&o.max_steps, 1, any, "a whole number of instructions above 0"}},
        {"-max-ms", "T", "stop when the emulated clock passes T ms (status 2)",
         host::count_value{&o.max_ms, 0, any, "a whole number of milliseconds"}},
        {"-expect", "FILE", "compare the DRIVE lines with FILE (status 3 at a difference)",
         host::text_value{&o.expect, "a file of expected DRIVE lines"}},
        {"-map", "FILE",
         "the linker's map: after a fault, the calls that led there with their source lines",
         host::text_value{&o.map, "the linker's map file"}},
        {"-inputs", "FILE",
         "what the Get functions return over emulated time (lines \"<ms> <Function> "
         "[<channel>] <value>\")",
         host::text_value{&o.inputs, "a file of inputs"}},
        {"-drive", "FILE",
         "carry out the motion functions on a model of one axis (YAML description)",
         host::text_value{&o.drive, "a drive description"}},
        {"-clock-us", "U", "the emulated clock advances U microseconds per instruction",
         host::count_value{&o.clock_us, 1, NO_BOUND, "a whole number of microseconds above 0"}},
        {"-signals", "FILE", "record every drive call: time, signal, value, source line",
         host::text_value{&o.recordings.signals, "a file name for the signal log"}},
        {"-coverage", "FILE", "write the source lines the run executed as LCOV (with -map)",
         host::text_value{&o.coverage, "a file name for the LCOV tracefile"}},
        {"-jdwp", "[HOST:]PORT",
         "wait for a Java debugger (jdb, an IDE) at PORT (0: any free port), on 127.0.0.1 "
         "unless HOST is given; needs -map",
         host::text_value{&o.jdwp, "a port, or HOST:PORT"}},
        {"-vcd", "FILE", "record the drive calls as a Value Change Dump (1 ms steps)",
         host::text_value{&o.recordings.vcd, "a file name for the VCD"}},
        {"-csv", "FILE", "record every drive call as a CSV row",
         host::text_value{&o.recordings.csv, "a file name for the CSV"}},
        {"-svg", "FILE", "draw the drive calls as step plots over emulated time",
         host::text_value{&o.recordings.svg, "a file name for the SVG"}},
        {"-svg-window", "FROM:TO", "draw only the milliseconds FROM to TO (with -svg)",
         host::text_value{&o.svg_window, "a slice of emulated time in ms such as 1000:2500"}},
        {"-gtkw", "FILE", "a GTKWave save file that shows every variable of the dump (with -vcd)",
         host::text_value{&o.recordings.gtkw, "a file name for the GTKWave save file"}},
    };
}

void print_help() {
    options unused;
    print_usage();
    std::printf("\nOptions, before the package file:\n%s",
                host::option_help(option_rows(unused)).c_str());
}

// A recording must not replace what the run reads, nor another recording.
bool recordings_are_apart(const options& o, std::string& problem) {
    const char* outputs[] = {o.recordings.vcd,  o.recordings.csv,     o.recordings.svg,
                             o.recordings.gtkw, o.recordings.signals, o.coverage};
    const char* inputs[] = {o.file, o.expect, o.map, o.inputs, o.drive};
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

// A slice of emulated time, "FROM:TO" in whole milliseconds with FROM before TO.
bool read_window(const char* text, drive_record::paths& r) {
    const char* colon = std::strchr(text, ':');
    if (!colon) return false;
    char* end = nullptr;
    const std::string from(text, colon);
    auto whole = [&](const char* digits, s64& value) {
        if (*digits < '0' || *digits > '9') return false; // no sign, no space
        errno = 0;
        const long long read = std::strtoll(digits, &end, 10);
        value = read;
        return errno == 0 && *end == '\0';
    };
    if (!whole(from.c_str(), r.window_from) || !whole(colon + 1, r.window_to) ||
        r.window_from >= r.window_to)
        return false;
    r.has_window = true;
    return true;
}

// Options come before the package file. A single argument is always the file, also when it
// reads -debug; anything else that begins with '-' and is no option, an option given twice,
// or a bad value is refused. Answers the status to end with, or -1 to run.
int parse_options(int cnt, char** params, options& o) {
    for (int i = 1; i < cnt; ++i) {
        if (host::is_help_request(params[i])) {
            print_help();
            return 0;
        }
    }
    auto refuse = [](const std::string& reason) {
        print_usage();
        host::report_usage_error(PROGRAM, reason);
        return USAGE_STATUS;
    };
    if (cnt == 2 && params[1][0] == '-' && std::strcmp(params[1], "-debug") != 0) {
        std::printf("unknown option: %s\n", params[1]);
        const bool known = host::find_option(option_rows(o), params[1]) != nullptr;
        return refuse(known ? std::string("no package given after ") + params[1]
                            : std::string("unknown option ") + params[1]);
    }
    if (cnt < 2) return refuse("no package given");
    const host::option_table table = option_rows(o);
    std::vector<bool> seen(table.size());
    std::string reason;
    for (int i = 1; i < cnt - 1; ++i) {
        if (params[i][0] != '-') return refuse(host::misplaced_argument(cnt, params, i));
        if (!host::read_option(table, seen, params, i, cnt - 1, reason)) return refuse(reason);
    }
    o.file = params[cnt - 1];
    if (cnt > 2 && o.file[0] == '-')
        return refuse(std::string("the last argument must be the package, not ") + o.file);
    if (o.recordings.gtkw && !o.recordings.vcd)
        return refuse("-gtkw needs -vcd: the save file shows the dump");
    if (o.coverage && !o.map)
        return refuse("-coverage needs -map: the source lines come from the map");
    if (o.svg_window && !o.recordings.svg)
        return refuse("-svg-window needs -svg: it chooses the picture's time");
    if (o.svg_window && !read_window(o.svg_window, o.recordings))
        return refuse(std::string("-svg-window needs FROM:TO in whole milliseconds with FROM "
                                  "before TO, got \"") +
                      o.svg_window + "\"");
    if (o.jdwp && !jdwp::parse_address(o.jdwp, o.debugger))
        return refuse(std::string("-jdwp wants a port, or HOST:PORT, not ") + o.jdwp);
    if (o.jdwp && !o.map)
        return refuse("-jdwp needs -map: the debugger sees the program through the map");
    if (o.jdwp && o.coverage)
        return refuse("-coverage and -jdwp cannot go together: each steps the run itself");
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
    if (o.drive) {
        std::string problem;
        if (!drive_axis::load(o.drive, problem)) {
            std::printf("ERROR: %s\n", problem.c_str());
            return USAGE_STATUS;
        }
        drive_script::refuse(drive_axis::answers, "the drive model (-drive)");
    }
    if (o.inputs) {
        std::string problem;
        if (!drive_script::load(o.inputs, problem)) {
            std::printf("ERROR: %s\n", problem.c_str());
            return USAGE_STATUS;
        }
    }
    std::string problem;
    if (!recordings_are_apart(o, problem) || !drive_record::open(o.recordings, problem) ||
        (o.coverage && !coverage::open(o.coverage, problem))) {
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
        vm_set_batch_trace_output(false);
#endif
    // A quiet run prints not even the version line: the options are read first.
    options o;
    bool asks_quiet = false;
    for (int i = 1; i + 1 < cnt; ++i) asks_quiet |= std::strcmp(params[i], "-q") == 0;
    if (!asks_quiet) std::printf("mirt emulator version %d\n", EMULATOR_VERSION);
    const int status = parse_options(cnt, params, o);
    if (status >= 0) return status;
    vm_set_quiet(o.quiet);
    clock_us_per_instruction = o.clock_us;
    set_fatal_exit_handler(end_after_fatal_message);
    install_run_control(o.max_steps, o.max_ms);
    load_file(o.file, o.is_debug);
    // The VM's refusal of another magic names no file; the reason is said here.
    if (!vm_loaded().contains(0, 4) ||
        (vm_loaded().u32_at(0) != PACKAGE_MAGIC && vm_loaded().u32_at(0) != CLASS_IMAGE_MAGIC))
        host::report_file_problem(PROGRAM, o.file, "not a package (the linker makes one)");
    vm_init();
    if (o.jdwp) {
        std::string problem;
        if (!jdwp::attach(o.debugger, *loaded_package_map(), problem)) {
            std::printf("ERROR: %s\n", problem.c_str());
            return USAGE_STATUS;
        }
        if (vm_start() != '+') fault(FAULT_NOT_A_CLASS_IMAGE, mirt2_package::first_class_info);
        jdwp::run();
    } else if ((coverage::active() ? coverage::run() : vm_run()) != '+') {
        fault(FAULT_NOT_A_CLASS_IMAGE, mirt2_package::first_class_info);
    }
    free_vm();
    drive_axis::sample_until(emulated_ms());
    return coverage::finish(drive_record::finish(expected_end_status(0), emulated_ms()));
}

} // namespace

int main(int cnt, char** params) {
    return host::run_program(PROGRAM, emulate, cnt, params, FATAL_EXIT_STATUS, FATAL_EXIT_STATUS);
}
