#include "emulate.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "harness.h"
#include "host_files.h"

#include "../mirt/mirt.h"
#include "../mirt/mirt_drive.h"
#include "../mirt/mirt_error.h"

s32 millis = 0;

namespace {

// The drive functions this emulator carries out, handed to the VM core by identifier.
void install_emulated_drive() {
    register_drive_function(NATIVE_DISPLAY_INT,
                            [](s64 v) { return native_display_int(static_cast<s32>(v)), 0; });
    register_drive_function(NATIVE_DISPLAY_LONG, [](s64 v) { return native_display_long(v), 0; });
    register_drive_function(NATIVE_GET_MILLIS, [](s64) { return native_get_millis(); });
    register_drive_function(NATIVE_GET_ANALOG_INPUT, [](s64 channel) {
        return native_get_analog_input(static_cast<s32>(channel));
    });
    register_drive_function(NATIVE_SET_LED,
                            [](s64 v) { return native_set_led(static_cast<s32>(v)), 0; });
    register_drive_function(NATIVE_SET_DIGITAL_OUTPUT,
                            [](s64 v) { return native_set_dig_output(static_cast<s32>(v)), 0; });
    register_drive_function(NATIVE_GET_DIGITAL_INPUT, [](s64) { return native_get_dig_input(); });
    register_drive_function(NATIVE_GET_DIGITAL_OUTPUT, [](s64) { return native_get_dig_output(); });
    register_not_emulated(native_not_emulated);
}

} // namespace

void load_file(const char* file, bool debug) {
    install_emulated_drive();
    if (!quiet) std::printf("trying to decode file: %s\n", file);
    // Only a regular file is read, and its open never blocks: a directory, a FIFO or a
    // device is as unreadable as a file that is not there.
    std::string problem;
    std::FILE* in = host::open_regular_for_reading(file, problem);
    if (!in) {
        if (!quiet) std::printf("Datei nicht lesbar\n");
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
    if (!quiet) {
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

void native_not_emulated(image_text name, u16 id, const variable* arguments, int count) {
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
    drive_line("DRIVE: %s) not emulated", call.c_str());
}

void native_display_int(s32 value) { drive_line("DRIVE: native_display_int: %d", value); }

void native_display_long(s64 value) {
    // The display shows the low 32 bits only.
    drive_line("DRIVE: native_display_long: %d", static_cast<s32>(value));
}

void native_set_led(s32 value) { drive_line("DRIVE: native_set_led: %d", value); }

void native_set_dig_output(s32 value) { drive_line("DRIVE: native_set_dig_output: %d", value); }

s32 native_get_millis() {
    // Emulated time: 100 ms per query, back to 0 where the sum would pass the int range.
    millis = millis > 0x7FFFFFFF - 100 ? 0 : millis + 100;
    emulated_clock_moved(millis);
    return millis;
}

s32 native_get_dig_input() {
    drive_line("DRIVE: native_get_dig_input");
    return 1;
}

s32 native_get_dig_output() {
    drive_line("DRIVE: native_get_dig_output");
    return 1;
}

s32 native_get_analog_input(s32 /*whichone*/) {
    drive_line("DRIVE: native_get_analog_input");
    return 1;
}

void native_start_drive() { drive_line("DRIVE: native_start_drive"); }

void native_set_speed(s32 value) { drive_line("DRIVE: native_set_speed: %d", value); }
