#include "drive_axis.h"

#include <cstdio>
#include <iterator>
#include <memory>

#include "drive_model.h"
#include "drive_record.h"
#include "drive_signal.h"
#include "emulate.h"

#include "../mirt/mirt.h"

namespace drive_axis {

namespace {

std::unique_ptr<drive::model> axis;
drive::description described;
s64 next_sample_ms = 0;

// The argument as the default row takes a declared parameter: an int as it is, a long by
// its low 32 bits; none gives 0.
s32 argument(const variable* arguments, int count) {
    if (count == 0) return 0;
    return arguments[0].type == TYPE_LONG ? static_cast<s32>(arguments[0].value.S64)
                                          : arguments[0].value.S32;
}

void record_state(s64 ms) {
    const drive::snapshot s = axis->state(ms);
    const s32 values[] = {s.demand, s.actual, s.speed, s.current, static_cast<s32>(s.status)};
    static_assert(std::size(values) == std::size(axis_signal_names));
    for (size_t i = 0; i < std::size(values); ++i)
        drive_record::sample(axis_signal_names[i], values[i], ms, vm_instructions_executed());
}

// The program's name for the call (or, where -OS removed it, the function's), with its
// argument when it passed one.
std::string call_text(image_text name, const method_id_row& row, const variable* arguments,
                      int count) {
    std::string text = name.length
                           ? std::string(reinterpret_cast<const char*>(name.bytes), name.length)
                           : std::string(row.java_name());
    text += '(';
    if (count) {
        text += arguments[0].type == TYPE_LONG ? std::to_string(arguments[0].value.S64)
                                               : std::to_string(arguments[0].value.S32);
    }
    return text + ')';
}

} // namespace

bool load(const char* path, std::string& problem) {
    if (!drive::read_description(path, described, problem)) return false;
    axis = std::make_unique<drive::model>(described);
    return axis->load_data_set_file(problem);
}

bool active() { return axis != nullptr; }

bool answers(u16 id) {
    const method_id_row* row = find_method_id(id);
    return row && ((row->model_given() && row->gives_value()) || id == NATIVE_GET_DIGITAL_OUTPUT);
}

s32 digital_input() { return axis->digital_input(emulated_ms()); }
void set_digital_output(s32 value) { axis->set_digital_output(value); }
s32 digital_output() { return axis->digital_output(); }

void sample_until(s64 ms) {
    if (!axis || !drive_record::active()) return;
    for (; next_sample_ms <= ms; next_sample_ms += described.sample_ms)
        record_state(next_sample_ms);
}

s32 call(image_text name, u16 id, const variable* arguments, int count, char return_letter) {
    const method_id_row& row = *find_method_id(id);
    const s64 ms = emulated_ms();
    sample_until(ms);
    const s32 v = argument(arguments, count);
    drive::model& m = *axis;
    const drive::settings& set = m.set();
    std::string problem;
    // A Get function gives its value; every case below that sets `value` is one.
    const bool gives_value = row.gives_value();
    s32 value = 0;
    switch (id) {
    case NATIVE_START_DRIVE: m.start_drive(ms); break;
    case NATIVE_STOP_DRIVE: m.stop_drive(ms); break;
    case NATIVE_SET_MIN_SPEED: m.set_min_speed(ms, v); break;
    case NATIVE_SET_MAX_SPEED: m.set_max_speed(ms, v); break;
    case NATIVE_SET_ACCELERATION: m.set_acceleration(ms, v); break;
    case NATIVE_SET_TARGET_POSITION: m.set_target(ms, v); break;
    case NATIVE_SET_MODE:
    case NATIVE_SET_DRIVE_MODE: m.set_mode(ms, v); break;
    case NATIVE_SET_CURRENT_REDUCTION: m.set_current_reduction(ms, v); break;
    case NATIVE_SET_CURRENT: m.set_current(ms, v); break;
    case NATIVE_SET_DIRECTION: m.set_direction(ms, v); break;
    case NATIVE_SET_POSITION:
        if (!m.set_position(ms, count ? v : described.home_position))
            problem = "the axis moves; the position is kept";
        break;
    case NATIVE_LOAD_DATA_SET: m.load_data_set(ms, v, problem); break;
    case NATIVE_SAVE_DATA_SET: m.save_data_set(ms, v, problem); break;
    case NATIVE_GET_ACCELERATION: value = set.acceleration; break;
    case NATIVE_GET_MIN_SPEED: value = set.min_speed; break;
    case NATIVE_GET_MAX_SPEED: value = set.max_speed; break;
    case NATIVE_GET_TARGET_POSITION: value = set.target; break;
    case NATIVE_GET_MODE:
    case NATIVE_GET_DRIVE_MODE: value = set.mode; break;
    case NATIVE_GET_CURRENT_REDUCTION: value = set.current_reduction; break;
    case NATIVE_GET_CURRENT: value = m.current(ms); break;
    case NATIVE_GET_DIRECTION: value = set.direction; break;
    case NATIVE_GET_ENCODER_POSITION: value = m.encoder_position(ms); break;
    case NATIVE_GET_DEMAND_POSITION: value = m.demand_position(ms); break;
    case NATIVE_GET_STATUS: value = static_cast<s32>(m.status(ms)); break;
    default: break;
    }
    const std::string text = call_text(name, row, arguments, count);
    // The emulator's own lines for starting and setting the speed; the style of the scripted
    // inputs for the others.
    if (id == NATIVE_START_DRIVE)
        drive_line("DRIVE: native_start_drive");
    else if (id == NATIVE_SET_MAX_SPEED)
        drive_line("DRIVE: native_set_speed: %d", v);
    else if (gives_value)
        drive_line("DRIVE: %s = %d", text.c_str(), value);
    else
        drive_line("DRIVE: %s", text.c_str());
    if (!problem.empty()) std::printf("WARNING: %s: %s\n", text.c_str(), problem.c_str());
    if (drive_record::active()) {
        drive_record::call c;
        c.function = std::string(row.java_name());
        c.signal = c.function;
        c.arguments =
            count ? text.substr(text.find('(') + 1, text.size() - text.find('(') - 2) : "";
        c.has_result = gives_value && return_letter != 'V';
        c.result = value;
        c.shown = gives_value ? value : count ? v : 1;
        drive_record::record(c, ms, vm_instructions_executed());
        record_state(ms);
    }
    return value;
}

} // namespace drive_axis
