#include "emulate.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "drive_axis.h"
#include "drive_record.h"
#include "drive_script.h"
#include "command_line.h"
#include "drive_signal.h"
#include "harness.h"
#include "host_files.h"

#include "../mirt/mirt.h"
#include "../mirt/mirt_drive.h"
#include "../mirt/mirt_error.h"
#include "../mirt/mirt_method_ids.h"
#include "../mirt/mirt_operation.h"

s32 millis = 0;
u64 clock_us_per_instruction = 0;

namespace {

s64 elapsed_ms = 0; // the clock without GetMillis's wrap-around, in the default mode

// The value an input gives: the script's where it has one for now, else the emulator's own.
s32 scripted_or(method_id id, s32 channel, s32 own) {
    const std::optional<s32> value = drive_script::value_at(id, channel, emulated_ms());
    return value ? *value : own;
}

// "Name(1, 2)" for a call of the default row: its name (or, where -OS removed it, its
// identifier) and its arguments in the order of the call.
std::string call_text(image_text name, u16 id, const variable* arguments, int count) {
    std::string call = name.length
                           ? std::string(reinterpret_cast<const char*>(name.bytes), name.length)
                           : "function " + std::to_string(id);
    call += '(';
    for (int i = 0; i < count; ++i) {
        if (i) call += ", ";
        char value[32];
        const variable& a = arguments[i];
        switch (a.type) {
        case TYPE_LONG:
            std::snprintf(value, sizeof value, "%lld", static_cast<long long>(a.value.S64));
            break;
        case TYPE_FLOAT:
            std::snprintf(value, sizeof value, "%g", static_cast<double>(a.value.F));
            break;
        case TYPE_DOUBLE: std::snprintf(value, sizeof value, "%g", a.value.D); break;
        default: std::snprintf(value, sizeof value, "%d", a.value.S32); break;
        }
        call += value;
    }
    return call + ')';
}

// Records one call where a recording is open. `shown` is what the signal shows: the value
// set or displayed, or the value returned.
void record_call(u16 id, s32 channel, std::string arguments, bool has_result, s64 result,
                 s32 shown) {
    if (!drive_record::active()) return;
    drive_record::call c;
    c.function = drive_function_name(id);
    c.signal = drive_signal_name(id, channel);
    if (drive_record::wants_sites()) c.site = call_site();
    c.arguments = std::move(arguments);
    c.has_result = has_result;
    c.result = result;
    c.shown = shown;
    drive_record::record(c, emulated_ms(), vm_instructions_executed());
}

// A default-row call in a recording: the first argument, else the value given back, else
// (a function that neither takes nor gives a value) the number of its calls so far.
void record_default_row(image_text name, u16 id, const variable* arguments, int count,
                        char return_letter, s32 value) {
    if (!drive_record::active()) return;
    static std::map<u16, s32> calls;
    std::string text = call_text(name, id, arguments, count);
    text = text.substr(text.find('(') + 1);
    text.pop_back();
    const bool gives = return_letter != 'V';
    const s32 shown = count ? arguments[0].value.S32 : gives ? value : ++calls[id];
    record_call(id, 0, text, gives, value, shown);
}

s32 scripted_default_row(image_text name, u16 id, const variable* arguments, int count,
                         char return_letter) {
    const s32 value = scripted_or(static_cast<method_id>(id), 0, 0);
    drive_line("DRIVE: %s = %d", call_text(name, id, arguments, count).c_str(), value);
    record_default_row(name, id, arguments, count, return_letter, value);
    return value;
}

// The VM core calls a drive function through a plain pointer: one per row of the table,
// each carrying out its own row.
template <size_t row> s32 call_row(s64 argument) {
    return emulate_drive_function(method_id_table[row], argument);
}
template <size_t... rows>
constexpr std::array<drive_call, sizeof...(rows)> row_calls(std::index_sequence<rows...>) {
    return {&call_row<rows>...};
}
constexpr auto row_call = row_calls(std::make_index_sequence<method_id_table.size()>());

// The drive functions this emulator carries out, handed to the VM core by identifier, and
// the default-row inputs a script gives values for.
void install_emulated_drive() {
    register_not_emulated(native_not_emulated);
    const std::vector<u16>& scripted = drive_script::scripted_ids();
    for (size_t i = 0; i < method_id_table.size(); ++i) {
        const method_id_row& row = method_id_table[i];
        if (drive_axis::active() && row.model_given()) { // -drive: the model, not the default row
            register_scripted_function(row.id, drive_axis::call);
        } else if (row.emulated()) {
            register_drive_function(row.id, row_call[i]);
        } else if (row.gives_value()) {
            const bool has_script =
                std::find(scripted.begin(), scripted.end(), row.id) != scripted.end();
            register_scripted_function(row.id, has_script ? scripted_default_row : nullptr);
        }
    }
}

} // namespace

s64 emulated_ms() {
    if (!clock_us_per_instruction) return elapsed_ms;
    const unsigned __int128 us =
        static_cast<unsigned __int128>(vm_instructions_executed()) * clock_us_per_instruction;
    const unsigned __int128 ms = us / 1000;
    return ms > static_cast<unsigned __int128>(INT64_MAX) ? INT64_MAX : static_cast<s64>(ms);
}

s32 shown_millis() {
    if (clock_us_per_instruction) millis = static_cast<s32>(emulated_ms() % (s64{INT32_MAX} + 1));
    return millis;
}

void load_file(const char* file, bool debug) {
    install_emulated_drive();
    if (!vm_quiet()) std::printf("trying to decode file: %s\n", file);
    // Only a regular file is read, and its open never blocks: a directory, a FIFO or a
    // device is as unreadable as a file that is not there.
    std::string problem;
    std::FILE* in = host::open_regular_for_reading(file, problem);
    if (!in) {
        if (!vm_quiet()) std::printf("Datei nicht lesbar\n");
        host::report_file_problem("mirt_emulator", file, problem);
        error(ERROR_FILE_NOT_READABLE);
    }
    // Room for the largest package and the end-of-file byte, which is kept, dumped and
    // counted like a data byte. A file that fills all of it is refused before anything
    // runs, rather than running a cut program.
    constexpr u32 buffer_size = MAX_PACKAGE_SIZE + 1;
    u8* buffer = new u8[buffer_size];
    u32 idx = 0;
    int c;
    do {
        c = std::fgetc(in);
        buffer[idx++] = static_cast<u8>(c);
    } while (c != EOF && idx < buffer_size);
    std::fclose(in);
    if (c != EOF) {
        delete[] buffer;
        fault(FAULT_FILE_TOO_LARGE, MAX_PACKAGE_SIZE);
    }
    if (!vm_quiet()) {
        for (u32 i = 0; i < idx; ++i) {
            if ((i & 0xF) == 0) std::printf("\n0x%02x | ", i);
            std::printf("0x%02x ", buffer[i]);
        }
        std::printf("\n\nreading done. %u bytes read\n", idx);
    }
    set_mem(buffer, idx - 1, debug);
}

void load_bytes(const u8* data, u32 size, bool debug) {
    install_emulated_drive();
    u8* buffer = new u8[size + 1];
    if (size) std::memcpy(buffer, data, size);
    buffer[size] = 0xFF; // the end-of-file byte load_file keeps
    set_mem(buffer, size, debug);
}

void drive_line(const char* format, ...) {
    // Most lines fit the first buffer; a not-emulated call with a long name is formatted
    // again at its full length rather than cut.
    char short_line[256];
    std::string long_line;
    const char* line = short_line;
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start above; analyser false positive
    const int length = std::vsnprintf(short_line, sizeof short_line, format, arguments);
    if (length >= static_cast<int>(sizeof short_line)) {
        long_line.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(long_line.data(), long_line.size(), format, again);
        line = long_line.c_str();
    }
    va_end(again);
    va_end(arguments);
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    expect_drive_line(line);
}

void native_not_emulated(image_text name, u16 id, const variable* arguments, int count,
                         char return_letter) {
    if (vm_quiet())
        drive_line("DRIVE: %s not emulated", call_text(name, id, arguments, count).c_str());
    record_default_row(name, id, arguments, count, return_letter, 0);
}

namespace {
// An emulated input's value: with -drive, the digital output set last and the switch bits
// (with the bits a stimulus sets); else the stimulus script's value, or 1.
s32 model_input(const method_id_row& row, s32 channel) {
    if (drive_axis::active() && row.io == axis_io::gives_output)
        return drive_axis::digital_output();
    if (drive_axis::active() && row.io == axis_io::adds_switches)
        return drive_axis::digital_input() | scripted_or(row.id, 0, 0);
    return scripted_or(row.id, channel, 1);
}
} // namespace

s32 emulate_drive_function(const method_id_row& row, s64 argument) {
    switch (row.emulation) {
    case drive_emulation::show_value: {
        const s32 shown = static_cast<s32>(argument); // a long shows its low 32 bits only
        drive_line("DRIVE: %s: %d", row.drive_text, shown);
        if (row.io == axis_io::keeps_output && drive_axis::active())
            drive_axis::set_digital_output(shown); // GetDigitalOutput reads it back
        // The argument's text is made only for a recording: drive calls are on the
        // program's hot path.
        if (drive_record::active())
            record_call(row.id, 0, std::to_string(argument), false, 0, shown);
        return 0;
    }
    case drive_emulation::clock: {
        const s32 clock = native_get_millis();
        if (drive_record::active()) record_call(row.id, 0, "", true, clock, clock);
        return clock;
    }
    case drive_emulation::read_input: {
        drive_line("DRIVE: %s", row.drive_text);
        const bool has_channel = row.shape == drive_shape::channel_argument_int_result;
        // The channel as the program wrote it: the VM passes it 0-based.
        const s32 channel = has_channel ? add32(static_cast<s32>(argument), 1) : 0;
        const s32 value = model_input(row, channel);
        if (drive_record::active())
            record_call(row.id, channel, has_channel ? std::to_string(channel) : "", true, value,
                        value);
        return value;
    }
    case drive_emulation::none: break;
    }
    return 0;
}

s32 native_get_millis() {
    if (clock_us_per_instruction) return shown_millis(); // the clock moves with the code
    // Emulated time: 100 ms per query, back to 0 where the sum would pass the int range.
    millis = millis > 0x7FFFFFFF - 100 ? 0 : millis + 100;
    elapsed_ms += 100;
    emulated_clock_moved(millis);
    return millis;
}
