// Scripted drive inputs: a stimulus file sets what the Get functions return over emulated
// time. Lines "<ms> <Function> [<channel>] <value>"; a value holds from its time until the
// next line for the same function and channel.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../mirt/mirt_types.h"

namespace drive_script {

// Functions whose values another source gives (the drive model): a stimulus line for one is
// refused, saying `source`. Set before the file is read.
void refuse(bool (*given)(u16 id), const char* source);

// Reads the stimulus file (channels count from 1); false with "file:line: reason" (or "file:
// reason") when it cannot be read or a line is not a stimulus.
bool load(const char* path, std::string& problem);

// Parses one stimulus file's text; `name` is the file name for the messages.
bool parse(const std::string& name, const std::string& text, std::string& problem);

// The drive function identifiers the script sets.
const std::vector<u16>& scripted_ids();

// What the script says function `id` returns on `channel` (the program's own, 1-based;
// 0 for functions without one) at emulated time `ms`; none before its first line.
std::optional<s32> value_at(u16 id, s32 channel, s64 ms);

// "file: the program never read line 3 (GetAnalogInput 5), ..." naming every line whose
// function and channel value_at was never asked for; empty when there is none.
std::string unread_lines();

// Forgets the script (tests parse one after another).
void clear();

} // namespace drive_script
