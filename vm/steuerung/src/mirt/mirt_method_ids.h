// Method identifiers: stored in every method record by the linker, acted on by the VM.
// The values are part of the package format and never change.
#pragma once

#include <array>
#include <string_view>

#include "mirt_types.h"

enum method_id : u16 {
    NO_METHOD_ID = 0,
    JAVA_INIT_METHOD = 101,
    JAVA_MAIN_METHOD = 102,
    NATIVE_START_DRIVE = 52,
    NATIVE_STOP_DRIVE = 53,
    NATIVE_SET_MIN_SPEED = 27,
    NATIVE_SET_MAX_SPEED = 28,
    NATIVE_GET_MILLIS = 112,
    NATIVE_SET_LED = 114,
    NATIVE_DISPLAY_INT = 110,
    NATIVE_DISPLAY_LONG = 111,
    NATIVE_SET_ACCELERATION = 30,
    NATIVE_SET_TARGET_POSITION = 26,
    NATIVE_SET_MODE = 25,
    NATIVE_SET_DRIVE_MODE = 24,
    NATIVE_SET_CURRENT_REDUCTION = 23,
    NATIVE_SET_CURRENT = 22,
    NATIVE_SET_DIRECTION = 32,
    NATIVE_SET_DIGITAL_OUTPUT = 115,
    NATIVE_GET_ACCELERATION = 0x801E,
    NATIVE_GET_MIN_SPEED = 0x801B,
    NATIVE_GET_MAX_SPEED = 0x801C,
    NATIVE_GET_TARGET_POSITION = 0x801A,
    NATIVE_GET_MODE = 0x8019,
    NATIVE_GET_DRIVE_MODE = 0x8018,
    NATIVE_GET_CURRENT_REDUCTION = 0x8017,
    NATIVE_GET_CURRENT = 0x8016,
    NATIVE_GET_DIRECTION = 0x8020,
    NATIVE_GET_DIGITAL_OUTPUT = 0x8073,
    NATIVE_GET_DIGITAL_INPUT = 116,
    NATIVE_GET_ANALOG_INPUT = 113,
    NATIVE_GET_ENCODER_POSITION = 0x8004,
    NATIVE_SET_POSITION = 57,
    NATIVE_GET_DEMAND_POSITION = 0x8013,
    NATIVE_LOAD_DATA_SET = 58,
    NATIVE_SAVE_DATA_SET = 49,
    NATIVE_GET_STATUS = 0x8011,
};

// How the VM dispatches a drive function: the shape of what it takes from the operand stack
// and gives back. Only the functions the emulator carries out have a shape of their own;
// every other drive function takes the default row (its declared parameters are taken, a
// zero of its return type is given back).
enum class drive_shape : u8 {
    default_row,
    int_argument,                // (I)V
    long_argument,               // (J)V
    int_result,                  // ()I
    channel_argument_int_result, // (I)I, the 1-based channel passed as 0-based
};

// The descriptor a drive function's shape stands for; empty for the default row.
constexpr std::string_view drive_signature(drive_shape shape) {
    switch (shape) {
    case drive_shape::int_argument: return "(I)V";
    case drive_shape::long_argument: return "(J)V";
    case drive_shape::int_result: return "()I";
    case drive_shape::channel_argument_int_result: return "(I)I";
    case drive_shape::default_row: break;
    }
    return "";
}

// What the emulator does for a drive function it carries out (the host's column: the VM
// core reads only the shape). Inputs give the program a value, outputs take one.
enum class drive_emulation : u8 {
    none,       // the default row
    show_value, // output: prints "DRIVE: <text>: <value>" (a long: its low 32 bits)
    clock,      // input: advances the emulated clock and gives it, prints nothing; a stimulus
                // script cannot set it, its times are given in it
    read_input, // input: prints "DRIVE: <text>", gives the stimulus script's value, else 1
};

// What the axis model (-drive) does for a drive function that has no emulation of its own
// (the host's column, like the emulation; the emulator holds one handler per action).
enum class axis_action : u8 {
    none, // the default row, also with -drive
    start_drive,
    stop_drive,
    set_mode,
    set_max_speed,
    set_min_speed,
    set_acceleration,
    set_direction,
    set_target,
    set_position,
    set_current,
    set_current_reduction,
    load_data_set,
    save_data_set,
    get_acceleration, // from here on the actions that give a value
    get_min_speed,
    get_max_speed,
    get_target,
    get_mode,
    get_direction,
    get_current_reduction,
    get_current,
    get_encoder_position,
    get_demand_position,
    get_status,
};

// How the axis model (-drive) takes part in an emulated function (the host's column, like the
// emulation): the digital output the program sets is the model's, and the digital input
// carries the model's limit-switch bits.
enum class axis_io : u8 {
    none,
    keeps_output,  // an output: the value shown becomes the model's digital output
    gives_output,  // an input: the model's digital output, never a script's value
    adds_switches, // an input: the switch bits, or'd with the script's value on channel 0
};

struct method_id_row {
    std::string_view keys[2]; // prefixes, tested in this order; the second is usually empty
    method_id id;
    std::string_view id_name;
    const char* trace; // printed by the linker's -debug trace on a match
    axis_action axis = axis_action::none;
    drive_shape shape = drive_shape::default_row;
    drive_emulation emulation = drive_emulation::none;
    // The name in the emulator's DRIVE line: for an emulated function; for a model function
    // that has a line of its own rather than the call's text.
    const char* drive_text = nullptr;
    axis_io io = axis_io::none;
    constexpr bool emulated() const { return shape != drive_shape::default_row; }
    // With -drive the axis model carries out the functions with an action instead of the
    // default row.
    constexpr bool model_given() const { return axis != axis_action::none; }
    // What the model reads and gives: a value for a Get function, nothing for starting and
    // stopping, one int for every other function (SetPosition also without: the home).
    constexpr std::string_view model_signature() const {
        if (gives_value()) return "()I";
        if (axis == axis_action::start_drive || axis == axis_action::stop_drive) return "()V";
        return "(I)V";
    }
    // The Get functions are the ones that give the program a value.
    constexpr bool gives_value() const { return keys[0].starts_with("Get"); }
    // The name a user knows it by: the last key (the first may be a misspelling kept for
    // old programs).
    constexpr std::string_view java_name() const { return keys[1].empty() ? keys[0] : keys[1]; }
};

// Test order matters: the first row with a key that prefixes the name wins, so
// SetCurrentReduction must come before SetCurrent (and likewise for Get...).
inline constexpr std::array<method_id_row, 36> method_id_table{{
    {{"<init>"}, JAVA_INIT_METHOD, "JAVA_INIT_METHOD", "=> <init> gefunden: JAVA_INIT_METHOD\n"},
    {{"main"}, JAVA_MAIN_METHOD, "JAVA_MAIN_METHOD", "=> main gefunden: JAVA_MAIN_METHOD\n"},
    {{"StartDrive"},
     NATIVE_START_DRIVE,
     "NATIVE_START_DRIVE",
     "=> StartDrive gefunden: NATIVE_START_DRIVE\n",
     axis_action::start_drive,
     drive_shape::default_row,
     drive_emulation::none,
     "native_start_drive"},
    {{"StopDrive"},
     NATIVE_STOP_DRIVE,
     "NATIVE_STOP_DRIVE",
     "=> StopDrive gefunden: NATIVE_STOP_DRIVE\n",
     axis_action::stop_drive},
    {{"SetMinSpeed"},
     NATIVE_SET_MIN_SPEED,
     "NATIVE_SET_MIN_SPEED",
     "=> SetMinSpeed gefunden: NATIVE_SET_MIN_SPEED\n",
     axis_action::set_min_speed},
    {{"SetMaxSpeed"},
     NATIVE_SET_MAX_SPEED,
     "NATIVE_SET_MAX_SPEED",
     "=> SetSpeed gefunden: NATIVE_SET_MAX_SPEED\n",
     axis_action::set_max_speed,
     drive_shape::default_row,
     drive_emulation::none,
     "native_set_speed"},
    {{"GetMillis"},
     NATIVE_GET_MILLIS,
     "NATIVE_GET_MILLIS",
     "=> GetMillis gefunden: NATIVE_GET_MILLIS\n",
     axis_action::none,
     drive_shape::int_result,
     drive_emulation::clock},
    {{"SetLED"},
     NATIVE_SET_LED,
     "NATIVE_SET_LED",
     "=> SetLED gefunden: NATIVE_SET_LED\n",
     axis_action::none,
     drive_shape::int_argument,
     drive_emulation::show_value,
     "native_set_led"},
    {{"SendInt"},
     NATIVE_DISPLAY_INT,
     "NATIVE_DISPLAY_INT",
     "=> SendInt gefunden: NATIVE_DISPLAY_INT\n",
     axis_action::none,
     drive_shape::int_argument,
     drive_emulation::show_value,
     "native_display_int"},
    {{"SendLong"},
     NATIVE_DISPLAY_LONG,
     "NATIVE_DISPLAY_LONG",
     "=> SendLong gefunden: NATIVE_DISPLAY_LONG\n",
     axis_action::none,
     drive_shape::long_argument,
     drive_emulation::show_value,
     "native_display_long"},
    {{"SetAcceleration"},
     NATIVE_SET_ACCELERATION,
     "NATIVE_SET_ACCELERATION",
     "=> SetAcceleration gefunden: NATIVE_SET_ACCELERATION\n",
     axis_action::set_acceleration},
    {{"SetTargetPos"},
     NATIVE_SET_TARGET_POSITION,
     "NATIVE_SET_TARGET_POSITION",
     "=> SetTargetPos gefunden: NATIVE_SET_TARGET_POSITION\n",
     axis_action::set_target},
    {{"SetMode"},
     NATIVE_SET_MODE,
     "NATIVE_SET_MODE",
     "=> SetMode gefunden: NATIVE_SET_MODE\n",
     axis_action::set_mode},
    {{"SetDriveMode"},
     NATIVE_SET_DRIVE_MODE,
     "NATIVE_SET_DRIVE_MODE",
     "=> SetDriveMode gefunden: NATIVE_SET_DRIVE_MODE\n",
     axis_action::set_mode},
    {{"SetCurrentReduction"},
     NATIVE_SET_CURRENT_REDUCTION,
     "NATIVE_SET_CURRENT_REDUCTION",
     "=> SetCurrentReduction gefunden: NATIVE_SET_CURRENT_REDUCTION\n",
     axis_action::set_current_reduction},
    {{"SetCurrent"},
     NATIVE_SET_CURRENT,
     "NATIVE_SET_CURRENT",
     "=> SetCurrent gefunden: NATIVE_SET_CURRENT\n",
     axis_action::set_current},
    {{"SetDirection"},
     NATIVE_SET_DIRECTION,
     "NATIVE_SET_DIRECTION",
     "=> SetDirection gefunden: NATIVE_SET_DIRECTION\n",
     axis_action::set_direction},
    {{"SetDigitalOutput"},
     NATIVE_SET_DIGITAL_OUTPUT,
     "NATIVE_SET_DIGITAL_OUTPUT",
     "=> SetDigitalOutput gefunden: NATIVE_SET_DIGITAL_OUTPUT\n",
     axis_action::none,
     drive_shape::int_argument,
     drive_emulation::show_value,
     "native_set_dig_output",
     axis_io::keeps_output},
    {{"GetAccelaration", "GetAcceleration"},
     NATIVE_GET_ACCELERATION,
     "NATIVE_GET_ACCELERATION",
     "=> GetAcceleration gefunden: NATIVE_GET_ACCELERATION\n",
     axis_action::get_acceleration},
    {{"GetMinSpeed"},
     NATIVE_GET_MIN_SPEED,
     "NATIVE_GET_MIN_SPEED",
     "=> GetMinSpeed gefunden: NATIVE_GET_MIN_SPEED\n",
     axis_action::get_min_speed},
    {{"GetMaxSpeed"},
     NATIVE_GET_MAX_SPEED,
     "NATIVE_GET_MAX_SPEED",
     "=> GetMaxSpeed gefunden: NATIVE_GET_MAX_SPEED\n",
     axis_action::get_max_speed},
    {{"GetTargetPos"},
     NATIVE_GET_TARGET_POSITION,
     "NATIVE_GET_TARGET_POSITION",
     "=> GetTargetPos gefunden: NATIVE_GET_TARGET_POSITION\n",
     axis_action::get_target},
    {{"GetMode"},
     NATIVE_GET_MODE,
     "NATIVE_GET_MODE",
     "=> GetMode gefunden: NATIVE_GET_MODE\n",
     axis_action::get_mode},
    {{"GetDriveMode"},
     NATIVE_GET_DRIVE_MODE,
     "NATIVE_GET_DRIVE_MODE",
     "=> GetDriveMode gefunden: NATIVE_GET_DRIVE_MODE\n",
     axis_action::get_mode},
    {{"GetCurrentReduction"},
     NATIVE_GET_CURRENT_REDUCTION,
     "NATIVE_GET_CURRENT_REDUCTION",
     "=> GetCurrentReduction gefunden: NATIVE_GET_CURRENT_REDUCTION\n",
     axis_action::get_current_reduction},
    {{"GetCurrent"},
     NATIVE_GET_CURRENT,
     "NATIVE_GET_CURRENT",
     "=> GetCurrent gefunden: NATIVE_GET_CURRENT\n",
     axis_action::get_current},
    {{"GetDirection"},
     NATIVE_GET_DIRECTION,
     "NATIVE_GET_DIRECTION",
     "=> GetDirection gefunden: NATIVE_GET_DIRECTION\n",
     axis_action::get_direction},
    {{"GetDigitalOutput"},
     NATIVE_GET_DIGITAL_OUTPUT,
     "NATIVE_GET_DIGITAL_OUTPUT",
     "=> GetDigitalOutput gefunden: NATIVE_GET_DIGITAL_OUTPUT\n",
     axis_action::none,
     drive_shape::int_result,
     drive_emulation::read_input,
     "native_get_dig_output",
     axis_io::gives_output},
    {{"GetDigitalInput"},
     NATIVE_GET_DIGITAL_INPUT,
     "NATIVE_GET_DIGITAL_INPUT",
     "=> GetDigitalInput gefunden: NATIVE_GET_DIGITAL_INPUT\n",
     axis_action::none,
     drive_shape::int_result,
     drive_emulation::read_input,
     "native_get_dig_input",
     axis_io::adds_switches},
    {{"GetAnalogInput"},
     NATIVE_GET_ANALOG_INPUT,
     "NATIVE_GET_ANALOG_INPUT",
     "=> GetAnalogInput gefunden: NATIVE_GET_ANALOG_INPUT\n",
     axis_action::none,
     drive_shape::channel_argument_int_result,
     drive_emulation::read_input,
     "native_get_analog_input"},
    {{"GetEncoderPosition"},
     NATIVE_GET_ENCODER_POSITION,
     "NATIVE_GET_ENCODER_POSITION",
     "=> GetEncoderPosition gefunden: NATIVE_GET_ENCODER_POSITION\n",
     axis_action::get_encoder_position},
    {{"SetPosition"},
     NATIVE_SET_POSITION,
     "NATIVE_SET_POSITION",
     "=> SetPosition gefunden: NATIVE_SET_POSITION\n",
     axis_action::set_position},
    {{"GetDemandPosition"},
     NATIVE_GET_DEMAND_POSITION,
     "NATIVE_GET_DEMAND_POSITION",
     "=> GetDemandPosition gefunden: NATIVE_GET_DEMAND_POSITION\n",
     axis_action::get_demand_position},
    {{"LoadDataSet"},
     NATIVE_LOAD_DATA_SET,
     "NATIVE_LOAD_DATA_SET",
     "=> LoadDataSet gefunden: NATIVE_LOAD_DATA_SET\n",
     axis_action::load_data_set},
    {{"SaveDataSet"},
     NATIVE_SAVE_DATA_SET,
     "NATIVE_SAVE_DATA_SET",
     "=> SaveDataSet gefunden: NATIVE_SAVE_DATA_SET\n",
     axis_action::save_data_set},
    {{"GetStatus"},
     NATIVE_GET_STATUS,
     "NATIVE_GET_STATUS",
     "=> GetStatus gefunden: NATIVE_GET_STATUS\n",
     axis_action::get_status},
}};

// A row's emulation fits its shape and its direction: an output takes the value it shows,
// an input (a Get function) gives one; every input but the clock reads the stimulus script.
constexpr bool emulation_fits(const method_id_row& row) {
    switch (row.emulation) {
    case drive_emulation::none:
        return !row.emulated() && (row.drive_text == nullptr || row.model_given());
    case drive_emulation::show_value:
        return !row.gives_value() && row.drive_text &&
               (row.shape == drive_shape::int_argument || row.shape == drive_shape::long_argument);
    case drive_emulation::clock:
        return row.gives_value() && !row.drive_text && row.shape == drive_shape::int_result;
    case drive_emulation::read_input:
        return row.gives_value() && row.drive_text &&
               (row.shape == drive_shape::int_result ||
                row.shape == drive_shape::channel_argument_int_result);
    }
    return false;
}
// The model keeps what an output shows and gives what an input reads.
constexpr bool axis_io_fits(const method_id_row& row) {
    switch (row.io) {
    case axis_io::none: return true;
    case axis_io::keeps_output: return row.emulation == drive_emulation::show_value;
    case axis_io::gives_output:
    case axis_io::adds_switches: return row.emulation == drive_emulation::read_input;
    }
    return false;
}
static_assert([] {
    for (const method_id_row& row : method_id_table)
        if (!emulation_fits(row) || !axis_io_fits(row) || (row.model_given() && row.emulated()))
            return false;
    // The model gives a value for exactly the Get functions: their actions come last.
    for (const method_id_row& row : method_id_table)
        if (row.model_given() && (row.axis >= axis_action::get_acceleration) != row.gives_value())
            return false;
    return true;
}());

// The row of identifier `id`, or null.
constexpr const method_id_row* find_method_id(u16 id) {
    for (const method_id_row& row : method_id_table)
        if (row.id == id) return &row;
    return nullptr;
}

// The row whose key prefixes `name`, or null. Prefix test over exactly the key's length,
// case-sensitive; a name shorter than a key does not match it.
inline const method_id_row* find_method_id_row(std::string_view name) {
    for (const method_id_row& row : method_id_table)
        for (std::string_view key : row.keys)
            if (!key.empty() && name.starts_with(key)) return &row;
    return nullptr;
}
