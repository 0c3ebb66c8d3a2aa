// mirt_check: reads a package exactly as the VM does and reports, before the device does,
// what the VM will refuse (errors) and where it will compute differently from Java
// (warnings).
#pragma once

#include <string>
#include <vector>

#include "mirt_types.h"
#include "package_map.h"

struct check_report {
    std::string text; // the whole report, as printed
    int errors = 0;
    int warnings = 0;
    bool is_package = true; // false: the bytes are neither a package nor a class image
};

// `verbose` adds a disassembly of every method; with the linker's `map`, findings at an offset
// name their source line.
// `drive_model`: the run has the axis model of -drive, which carries out the motion functions
// (their declarations are checked against what it reads).
check_report check_package(const std::vector<u8>& bytes, bool verbose,
                           const mapfile::package_map* map = nullptr, bool drive_model = false);

// Exit status of the program for a report: 0 no errors, 1 errors, 2 not a package.
int check_exit_status(const check_report& report);
