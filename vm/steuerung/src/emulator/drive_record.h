// Recordings of a run's drive calls over emulated time: a Value Change Dump for waveform
// viewers (with a GTKWave save file that shows it), a CSV table with one row per call, and
// an SVG picture with one step plot per signal. Each file is written beside its place and renamed
// into it when the run ends, however it ends; until then nothing at the path changes.
#pragma once

#include <string>

#include "../mirt/mirt_types.h"

namespace drive_record {

struct paths {
    const char* vcd = nullptr;
    const char* csv = nullptr;
    const char* svg = nullptr;
    const char* gtkw = nullptr; // needs vcd: it shows the dump
    bool has_window = false;    // the picture shows [window_from, window_to] ms only
    s64 window_from = 0;
    s64 window_to = 0;
    const char* signals = nullptr; // every call: time, signal, value, where it was made
};

// Opens the recordings asked for; false with the reason when one cannot be written there.
bool open(const paths& files, std::string& problem);

// True when any recording is open: callers skip the work of describing a call otherwise.
bool active();

// True when a recording keeps where each call was made (`call::site`).
bool wants_sites();

// One drive call. `signal` names the recorded variable (the function, with the channel
// where it has one), `shown` is its value after the call: the value set or shown for
// outputs and displays, the value returned for inputs.
struct call {
    std::string signal;
    std::string function;
    std::string arguments; // as the program passed them, ", " between two
    bool has_result = false;
    s64 result = 0;
    s32 shown = 0;
    std::string site; // "Source.java:12", or the VM's position without a map
};
void record(const call& c, s64 ms, u64 instructions);

// A sampled state value (not a call): recorded where it changed, the CSV row with `signal`
// as its function and the value as its result.
void sample(const char* signal, s32 value, s64 ms, u64 instructions);

// Ends the run's drive output: names the stimulus lines the run never read (standard error),
// writes and renames every open recording; `end_ms` is where the run's time ended. Answers
// `status`, or 255 (with a line saying which file) when one could not be written.
int finish(int status, s64 end_ms);

} // namespace drive_record
