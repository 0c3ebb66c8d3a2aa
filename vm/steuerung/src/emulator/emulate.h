// The emulator host: loading a package file and the emulated drive functions.
#pragma once

#include "../mirt/mirt_image.h"
#include "../mirt/mirt_method_ids.h"
#include "../mirt/mirt_types.h"

// Reads the package into a fresh buffer with its hex dump and hands it to the VM core.
// Ends the process (status 255) when the file cannot be read or is too large.
void load_file(const char* file, bool debug);

// Hands `size` bytes to the VM core as load_file does for a file that holds them (a copy,
// with the end-of-file byte after it), without the dump: for hosts that hold a package in
// memory (tests, fuzzing).
void load_bytes(const u8* data, u32 size, bool debug);

// Prints one line of the drive's output ("DRIVE: ..."); a run compared with expected lines
// compares it.
[[gnu::format(printf, 1, 2)]] void drive_line(const char* format, ...);

// A call of a drive function the emulator does not carry out: a quiet run names it (or,
// where -OS removed the name, its identifier) with its arguments in the order of the call;
// a recording records it.
void native_not_emulated(image_text name, u16 id, const variable* arguments, int count,
                         char return_letter);

// What GetMillis last returned; by default it advances by 100 per query.
extern s32 millis;
// -clock-us: the emulated clock advances by this many microseconds per executed instruction,
// and GetMillis returns it. 0: the clock moves only when GetMillis asks.
extern u64 clock_us_per_instruction;
// Emulated time since the start in milliseconds; unlike GetMillis's value it never wraps.
s64 emulated_ms();
// The clock as GetMillis shows it now.
s32 shown_millis();

// Advances the emulated clock as a query of GetMillis does and answers what GetMillis gives.
s32 native_get_millis();

// Carries out a call of drive function `row`, one the emulator emulates (emulated()), as its
// row says: the argument as the row's shape gives it (0 for none); answers the result where
// the shape has one. Every input but the clock follows the stimulus script.
s32 emulate_drive_function(const method_id_row& row, s64 argument);
