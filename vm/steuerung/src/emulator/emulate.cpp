#include "emulate.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "host_files.h"

#include "../mirt/mirt.h"
#include "../mirt/mirt_error.h"

s32 millis = 0;

void load_file(const char* file, bool is_debug) {
    std::printf("trying to decode file: %s\n", file);
    // Only a regular file is read, and its open never blocks: a directory, a FIFO or a
    // device is as unreadable as a file that is not there.
    std::string problem;
    std::FILE* in = host::open_regular_for_reading(file, problem);
    if (!in) {
        std::printf("Datei nicht lesbar\n");
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
    for (u32 i = 0; i < idx; ++i) {
        if ((i & 0xF) == 0) std::printf("\n0x%02x | ", i);
        std::printf("0x%02x ", buffer[i]);
    }
    std::printf("\n\nreading done. %u bytes read\n", idx);
    set_mem(buffer, idx - 1, is_debug);
}

void load_bytes(const u8* data, u32 size, bool is_debug) {
    u8* buffer = new u8[size + 1];
    if (size) std::memcpy(buffer, data, size);
    buffer[size] = 0xFF; // the end-of-file byte load_file keeps
    set_mem(buffer, size, is_debug);
}

void native_display_int(s32 value) { std::printf("DRIVE: native_display_int: %d\n", value); }

void native_display_long(s64 value) {
    // The display shows the low 32 bits only.
    std::printf("DRIVE: native_display_long: %d\n", static_cast<s32>(value));
}

void native_set_led(s32 value) { std::printf("DRIVE: native_set_led: %d\n", value); }

void native_set_dig_output(s32 value) { std::printf("DRIVE: native_set_dig_output: %d\n", value); }

s32 native_get_millis() {
    // Emulated time: 100 ms per query, back to 0 where the sum would pass the int range.
    millis = millis > 0x7FFFFFFF - 100 ? 0 : millis + 100;
    return millis;
}

s32 native_get_dig_input() {
    std::printf("DRIVE: native_get_dig_input\n");
    return 1;
}

s32 native_get_dig_output() {
    std::printf("DRIVE: native_get_dig_output\n");
    return 1;
}

s32 native_get_analog_input(s32 /*whichone*/) {
    std::printf("DRIVE: native_get_analog_input\n");
    return 1;
}

void native_start_drive() { std::printf("DRIVE: native_start_drive\n"); }

void native_set_speed(s32 value) { std::printf("DRIVE: native_set_speed: %d\n", value); }
