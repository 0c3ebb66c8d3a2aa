// A scenario file: the program under test and its cases, read from YAML (the format is
// documented in docs/scenarios.md). A file that cannot be used is refused with its file and
// line, as yaml-cpp gives them.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "mirt_types.h"

namespace scenario {

constexpr s64 NOT_GIVEN = INT64_MIN;

// "file:line: reason"
struct unusable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class check {
    equals,  // signal, at, equals
    within,  // signal, at, low..high
    reaches, // signal, by, value
    always,  // signal, low..high over the whole run
    never,   // signal, low..high never shown
    count,   // signal, low..high calls (by `at` where given)
    order,   // steps, each after the one before
    status,  // returned | bound | fault
    no_error // no "ERROR:" line
};

struct step {
    std::string signal;
    s64 value = NOT_GIVEN; // any value where not given
    s64 by = NOT_GIVEN;    // the latest time of the step
};

struct assertion {
    check kind = check::equals;
    std::string signal;
    s64 at = NOT_GIVEN;
    s64 low = 0, high = 0;
    std::string status;
    std::vector<step> steps;
    std::string text; // as the file wrote it, in flow style
    int line = 0;
};

struct test_case {
    std::string name;
    int line = 0;
    std::string max_ms, max_steps;   // as given, for the emulator; empty where not
    std::string inputs;              // stimulus text, or empty
    std::string inputs_file;         // path, or empty
    std::vector<std::string> expect; // drive lines in order
    std::vector<assertion> assertions;
};

struct file {
    std::string path;
    std::string name;                 // the file name without directory and ".yaml"
    std::vector<std::string> program; // sources, resolved against the file's directory
    int program_line = 0;
    std::string drive; // the drive description, resolved; empty where not given
    std::vector<std::string> options;
    int options_line = 0;
    std::vector<test_case> cases;
};

// Reads and checks a scenario file; throws `unusable`.
file load(const std::string& path);

// "file:line: reason" for a place in a loaded file.
std::string place(const file& f, int line, const std::string& reason);

} // namespace scenario
