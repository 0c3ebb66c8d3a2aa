// The emulator as a test harness for control programs: runs bounded in instructions or in
// emulated time, stopped by signals without losing output, and compared line by line with
// the drive output a test expects.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "../mirt/mirt_types.h"
#include "package_map.h"

// Exit statuses of the harness (a fault is 255, a usage error 1).
constexpr int STOPPED_BY_BOUND_STATUS = 2;
constexpr int EXPECTATION_FAILED_STATUS = 3;

// Reads the expected "DRIVE: " lines, one per line; false with the reason when the file
// cannot be read.
bool load_expected_lines(const char* path, std::string& problem);

// The expected lines of an expect file's text: split at each newline, the last line also
// without one.
std::vector<std::string> split_expected_lines(std::string_view text);

// Called with every drive line the run prints (without its newline). At the first line
// that differs from the expected one, or one past their end, the run ends: status 3.
void expect_drive_line(const char* line);

// The status a run ends with: `status`, or 3 (with a line saying which, when and where)
// when expected lines are left that the run did not print. After a fault the place is the
// fault's, which its message has given.
int expected_end_status(int status, bool after_fault = false);

constexpr u64 NO_BOUND = ~u64{0};

// Bounds of the run (NO_BOUND: none), signal handling, and the VM's stop handler. `max_ms` is the
// emulated clock the run may reach; it is looked at whenever the clock moves.
void install_run_control(u64 max_steps, u64 max_ms);

// Called when the emulated clock moves: asks the VM to stop once it passes the bound.
void emulated_clock_moved(s32 millis);

// Reads the linker's map of the package at `package_path` and checks that it belongs to it;
// false with a line that says why not. A package that cannot be read is left to the loader.
bool load_package_map(const char* map_path, const char* package_path, std::string& problem);

// The map load_package_map read, or null.
const mapfile::package_map* loaded_package_map();

// After a fatal message: the activations that led there, innermost first, with their
// source lines where the map has them. Nothing without a map.
void print_stack_trace();

// Where the VM stands: "Class.method@offset", or "before the run".
std::string vm_position();

// The source line of the running instruction, "Source.java:12", where the map has one;
// vm_position() otherwise.
std::string call_site();
