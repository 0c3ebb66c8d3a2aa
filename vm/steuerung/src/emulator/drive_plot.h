// The SVG picture of a run's drive calls: one step plot per variable over one shared time
// axis, with round ticks and a light grid on both axes. A curve keeps at most its lowest,
// highest, first and last value in each pixel column, so an hour of calls stays small.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "../mirt/mirt_types.h"

namespace drive_plot {

struct curve {
    std::string name;
    const char* unit = "";    // of the values, for the vertical axis
    bool marks_calls = false; // a function that takes and gives no value: each call marked
    u64 calls = 0;            // all calls, also those that left the value as it was
    const std::vector<std::pair<s64, s32>>* steps = nullptr; // (ms, value) at each change
};

// Draws the curves over emulated time from `from` to `to` ms; `end_ms` is where the run
// ended, so no curve goes on past it.
void write_svg(std::FILE* out, const std::vector<curve>& curves, s64 from, s64 to, s64 end_ms);

} // namespace drive_plot
