// One case's run as the emulator recorded it, and the verdict of its assertions over it.
#pragma once

#include <string>
#include <vector>

#include "scenario.h"

namespace suite {

struct call {
    s64 ms = 0;
    std::string signal;
    s64 value = 0;
    std::string site; // "Source.java:12"
};

// What the emulator left of one case: its signal log, its output and how it ended.
struct run {
    std::vector<call> calls;
    s64 end_ms = 0;
    int exit_status = 0;
    std::vector<std::string> output; // the lines it printed (-q: drive, warnings, errors)
};

// "returned", "bound", "fault", or "status <n>".
std::string ending(int exit_status);

// Reads the emulator's signal log; false when it is not one.
bool read_signals(const std::string& text, run& r);

struct failure {
    std::string assertion; // as the scenario wrote it
    std::string message;   // what was seen instead
    s64 ms = 0;            // the emulated time it was seen at
    std::string value;     // the value seen, or empty
    std::string site;      // the source line of the call that produced it, or empty
};

// Every assertion and the expected drive lines of `c` over `r`; empty when all hold.
std::vector<failure> judge(const scenario::test_case& c, const run& r);

} // namespace suite
