// The drive description: what `-drive FILE` tells the emulator about the axis it models.
// A YAML map; every key has a default, and a file with an unknown key, a value of the wrong
// type or out of its range is refused as a whole before anything runs.
#pragma once

#include <string>
#include <vector>

#include "../mirt/mirt_types.h"

namespace drive {

// Something that happens to the axis at a time of the run, for a test to provoke.
struct event {
    enum class kind : u8 { load, block, encoder_fault, lower_limit_switch, upper_limit_switch };
    s64 at_ms = 0;
    kind what = kind::load;
    s32 load_ma = 0; // kind::load: the load current from then on
};

struct description {
    s32 max_speed = 100000;        // counts/s: the most SetMaxSpeed can set
    s32 max_acceleration = 500000; // counts/s^2: the most SetAcceleration can set
    s32 lag_ms = 5;                // time constant of the actual position behind the demand
    s32 position_window = 10;      // counts: "target reached" within this
    s32 following_error_limit = 1000;
    s32 min_position = INT32_MIN; // software limits
    s32 max_position = INT32_MAX;
    s32 home_position = 0; // what a homing presets by default (SetPosition without value)
    s32 start_position = 0;
    s32 current_limit_ma = 3000;
    s32 friction_ma = 100;
    s32 ma_per_acceleration = 0; // mA per 1000 counts/s^2 (0: any acceleration is reached)
    s32 standstill_current_ma = 0;
    // Switches: the digital-input bit each sets, and where it closes. The home switch and the
    // lower limit switch close at and below their position, the upper one at and above it.
    s32 home_switch_bit = 0;
    s32 home_switch_position = INT32_MIN;
    s32 lower_limit_switch_bit = 1;
    s32 lower_limit_switch_position = INT32_MIN;
    s32 upper_limit_switch_bit = 2;
    s32 upper_limit_switch_position = INT32_MAX;
    s32 sample_ms = 10;        // recordings sample the model this often
    std::string data_sets;     // file the data sets persist in; empty: they live for the run
    std::vector<event> events; // in time order
};

// Reads a description; false with "file:line: reason" in `problem` when it cannot be read or
// is not a description.
bool read_description(const char* path, description& out, std::string& problem);

// Parses a description's text; `name` is the file name for the messages.
bool parse_description(const std::string& name, const std::string& text, description& out,
                       std::string& problem);

} // namespace drive
