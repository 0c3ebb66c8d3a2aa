// How a recording names its signals: a drive function by the name a programmer knows it
// by, a function with a channel once per channel ("GetAnalogInput_2", the channel as the
// program passed it). The recordings write these names and scenario files refer to them.
#pragma once

#include <string>
#include <string_view>

#include "../mirt/mirt_method_ids.h"

// The name of function `id`: its Java name, or "function <id>" for one the table lacks.
inline std::string drive_function_name(u16 id) {
    const method_id_row* row = find_method_id(id);
    return row ? std::string(row->java_name()) : "function " + std::to_string(id);
}

// The signal a call of function `id` changes; `channel` 0 for functions without one.
inline std::string drive_signal_name(u16 id, s32 channel) {
    const std::string function = drive_function_name(id);
    return channel ? function + "_" + std::to_string(channel) : function;
}

// The axis model's state (-drive), sampled into the recordings beside the calls, in this order.
inline constexpr const char* axis_signal_names[] = {"axis_demand", "axis_actual", "axis_speed",
                                                    "axis_current", "axis_status"};

// Whether a recording can hold a signal called `name`: a drive function's name, with
// "_<channel>" for the functions that take a channel, or one of the axis model's state.
inline bool is_drive_signal_name(std::string_view name) {
    for (const char* axis : axis_signal_names)
        if (name == axis) return true;
    for (const method_id_row& row : method_id_table) {
        if (row.id == JAVA_INIT_METHOD || row.id == JAVA_MAIN_METHOD) continue;
        const std::string_view function = row.java_name();
        if (!name.starts_with(function)) continue;
        const std::string_view rest = name.substr(function.size());
        if (rest.empty() && row.shape != drive_shape::channel_argument_int_result) return true;
        if (row.shape != drive_shape::channel_argument_int_result || rest.size() < 2 ||
            rest[0] != '_' || rest[1] == '0')
            continue;
        if (rest.find_first_not_of("0123456789", 1) == std::string_view::npos) return true;
    }
    return false;
}
