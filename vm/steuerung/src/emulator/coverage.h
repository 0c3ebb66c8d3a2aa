// Line coverage of one run: which code the run executed, written as an LCOV tracefile by
// Java source file and line (the lines come from the linker's map). The run goes through
// the host's one-step path so the interpreter itself stays as it is.
#pragma once

#include <string>

namespace coverage {

// Opens the tracefile at `path` (written whole when the run ends); false with the reason.
bool open(const char* path, std::string& problem);

bool active();

// vm_run, one instruction at a time, counting each and the jumps of conditional branches.
char run();

// Writes the tracefile from what was counted; answers `status`, or 255 (with a line saying
// so) when it could not be written.
int finish(int status);

} // namespace coverage
