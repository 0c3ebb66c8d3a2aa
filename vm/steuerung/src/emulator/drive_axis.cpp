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

// What one call hands its action, and the action's handler: the value it gives (0 for a
// Set function), `problem` where it could not do what was asked.
struct action_call {
    drive::model& m;
    s64 ms;
    s32 v; // the argument
    int count;
    std::string& problem;
};
struct action_row {
    axis_action action;
    s32 (*run)(action_call&);
};

// SetPosition declared without a value presets the home position.
s32 preset_position(action_call& c) {
    if (!c.m.set_position(c.ms, c.count ? c.v : described.home_position))
        c.problem = "the axis moves; the position is kept";
    return 0;
}

// The handler of each action, in the order of axis_action: a row's action column names one.
constexpr action_row actions[] = {
    {axis_action::none, [](action_call&) -> s32 { return 0; }},
    {axis_action::start_drive,
     [](action_call& c) -> s32 {
         c.m.start_drive(c.ms);
         return 0;
     }},
    {axis_action::stop_drive,
     [](action_call& c) -> s32 {
         c.m.stop_drive(c.ms);
         return 0;
     }},
    {axis_action::set_mode,
     [](action_call& c) -> s32 {
         c.m.set_mode(c.ms, c.v);
         return 0;
     }},
    {axis_action::set_max_speed,
     [](action_call& c) -> s32 {
         c.m.set_max_speed(c.ms, c.v);
         return 0;
     }},
    {axis_action::set_min_speed,
     [](action_call& c) -> s32 {
         c.m.set_min_speed(c.ms, c.v);
         return 0;
     }},
    {axis_action::set_acceleration,
     [](action_call& c) -> s32 {
         c.m.set_acceleration(c.ms, c.v);
         return 0;
     }},
    {axis_action::set_direction,
     [](action_call& c) -> s32 {
         c.m.set_direction(c.ms, c.v);
         return 0;
     }},
    {axis_action::set_target,
     [](action_call& c) -> s32 {
         c.m.set_target(c.ms, c.v);
         return 0;
     }},
    {axis_action::set_position, preset_position},
    {axis_action::set_current,
     [](action_call& c) -> s32 {
         c.m.set_current(c.ms, c.v);
         return 0;
     }},
    {axis_action::set_current_reduction,
     [](action_call& c) -> s32 {
         c.m.set_current_reduction(c.ms, c.v);
         return 0;
     }},
    {axis_action::load_data_set,
     [](action_call& c) -> s32 {
         c.m.load_data_set(c.ms, c.v, c.problem);
         return 0;
     }},
    {axis_action::save_data_set,
     [](action_call& c) -> s32 {
         c.m.save_data_set(c.ms, c.v, c.problem);
         return 0;
     }},
    {axis_action::get_acceleration, [](action_call& c) { return c.m.set().acceleration; }},
    {axis_action::get_min_speed, [](action_call& c) { return c.m.set().min_speed; }},
    {axis_action::get_max_speed, [](action_call& c) { return c.m.set().max_speed; }},
    {axis_action::get_target, [](action_call& c) { return c.m.set().target; }},
    {axis_action::get_mode, [](action_call& c) { return c.m.set().mode; }},
    {axis_action::get_direction, [](action_call& c) { return c.m.set().direction; }},
    {axis_action::get_current_reduction,
     [](action_call& c) { return c.m.set().current_reduction; }},
    {axis_action::get_current, [](action_call& c) { return c.m.current(c.ms); }},
    {axis_action::get_encoder_position, [](action_call& c) { return c.m.encoder_position(c.ms); }},
    {axis_action::get_demand_position, [](action_call& c) { return c.m.demand_position(c.ms); }},
    {axis_action::get_status, [](action_call& c) { return static_cast<s32>(c.m.status(c.ms)); }},
};
constexpr bool actions_in_order() {
    for (size_t i = 0; i < std::size(actions); ++i)
        if (static_cast<size_t>(actions[i].action) != i) return false;
    return static_cast<size_t>(axis_action::get_status) + 1 == std::size(actions);
}
static_assert(actions_in_order());

} // namespace

bool load(const char* path, std::string& problem) {
    if (!drive::read_description(path, described, problem)) return false;
    axis = std::make_unique<drive::model>(described);
    return axis->load_data_set_file(problem);
}

bool active() { return axis != nullptr; }

bool answers(u16 id) {
    const method_id_row* row = find_method_id(id);
    return row && ((row->model_given() && row->gives_value()) || row->io == axis_io::gives_output);
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
    std::string problem;
    action_call handed{*axis, ms, v, count, problem};
    // A Get function gives its value.
    const bool gives_value = row.gives_value();
    const s32 value = actions[static_cast<size_t>(row.axis)].run(handed);
    const std::string text = call_text(name, row, arguments, count);
    // The emulator's own line where the row has one (as for starting and setting the speed);
    // the style of the scripted inputs for the others.
    if (row.drive_text && row.model_signature() == "()V")
        drive_line("DRIVE: %s", row.drive_text);
    else if (row.drive_text)
        drive_line("DRIVE: %s: %d", row.drive_text, v);
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
