// The axis model behind -drive, as the emulator's drive functions reach it: which functions
// it gives instead of the default row, their DRIVE lines, and the model's state in the
// recordings.
#pragma once

#include <string>

#include "../mirt/mirt_image.h"
#include "../mirt/mirt_method_ids.h"
#include "../mirt/mirt_types.h"

namespace drive_axis {

// Reads the drive description and makes the model; false with "file:line: reason".
bool load(const char* path, std::string& problem);

// True once a description is loaded (-drive).
bool active();

// Whether the model gives the value function `id` returns, so a stimulus may not script it
// (the default-row Get functions and GetDigitalOutput; GetDigitalInput combines both).
bool answers(u16 id);

// A call of a function the model gives, with the declared parameters as the default row
// takes them: prints its DRIVE line, records it, answers the value for the program.
s32 call(image_text name, u16 id, const variable* arguments, int count, char return_letter);

// The switch bits at the actual position now.
s32 digital_input();
void set_digital_output(s32 value);
s32 digital_output();

// Records the model's state up to `ms` (every sample_ms) where a recording is open; called
// at the end of a run.
void sample_until(s64 ms);

} // namespace drive_axis
