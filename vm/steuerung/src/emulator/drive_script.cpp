#include "drive_script.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "host_files.h"

#include "../mirt/mirt_method_ids.h"

namespace drive_script {

namespace {

struct change {
    s64 ms;
    s32 value;
    int line; // in the stimulus file
};

// By identifier and channel; each list in file order, so in time order.
std::map<std::pair<u16, s32>, std::vector<change>> changes;
// The identifiers and channels among them the program asked for.
std::set<std::pair<u16, s32>> read;
std::vector<u16> ids;
std::string file_name;
bool (*given_elsewhere)(u16 id) = nullptr;
const char* given_by = "";

// A whole decimal integer within [low, high]; an optional sign when low is negative.
bool parse_integer(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty()) return false;
    size_t first = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (first == 1 && low >= 0) return false;
    if (first == text.size()) return false;
    for (size_t i = first; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    errno = 0;
    value = std::strtoll(text.c_str(), nullptr, 10);
    return errno == 0 && value >= low && value <= high;
}

const method_id_row* row_named(const std::string& name) {
    for (const method_id_row& row : method_id_table)
        for (std::string_view key : row.keys)
            if (!key.empty() && key == name) return &row;
    return nullptr;
}

// Why `fields` is no stimulus line, or empty when it is one (then the change is added).
std::string take_line(const std::vector<std::string>& fields, int number, s64& last_ms) {
    if (fields.size() < 3) return "expected <ms> <Function> [<channel>] <value>";
    long long ms = 0;
    if (!parse_integer(fields[0], 0, INT64_MAX, ms))
        return "time " + fields[0] + " is not a number of milliseconds";
    if (ms < last_ms)
        return "time " + fields[0] + " is before the previous line's " + std::to_string(last_ms);
    const method_id_row* row = row_named(fields[1]);
    if (!row) return "unknown drive function " + fields[1];
    if (!row->gives_value()) return fields[1] + " gives no value; only the Get functions do";
    if (row->id == NATIVE_GET_MILLIS)
        return "GetMillis is the emulated clock the times are given in";
    if (given_elsewhere && given_elsewhere(row->id)) return fields[1] + " is given by " + given_by;
    const bool has_channel = row->shape == drive_shape::channel_argument_int_result;
    const size_t wanted = has_channel ? 4 : 3;
    if (fields.size() < wanted) return fields[1] + " needs a channel before the value";
    if (fields.size() > wanted)
        return has_channel ? "expected <ms> GetAnalogInput <channel> <value>"
                           : fields[1] + " takes no channel";
    long long channel = 0, value = 0;
    if (has_channel && !parse_integer(fields[2], INT32_MIN, INT32_MAX, channel))
        return "channel " + fields[2] + " is not a 32-bit integer";
    if (has_channel && channel < 1)
        return "channel " + fields[2] + " does not exist: channels count from 1";
    if (!parse_integer(fields.back(), INT32_MIN, INT32_MAX, value))
        return "value " + fields.back() + " is not a 32-bit integer";
    last_ms = ms;
    changes[{row->id, static_cast<s32>(channel)}].push_back({ms, static_cast<s32>(value), number});
    if (std::find(ids.begin(), ids.end(), row->id) == ids.end()) ids.push_back(row->id);
    return "";
}

} // namespace

void refuse(bool (*given)(u16 id), const char* source) {
    given_elsewhere = given;
    given_by = source;
}

void clear() {
    changes.clear();
    read.clear();
    ids.clear();
    file_name.clear();
}

bool parse(const std::string& name, const std::string& text, std::string& problem) {
    clear();
    std::istringstream lines(text);
    std::string line;
    s64 last_ms = 0;
    for (int number = 1; std::getline(lines, line); ++number) {
        const size_t comment = line.find('#');
        if (comment != std::string::npos) line.erase(comment);
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) fields.push_back(word);
        if (fields.empty()) continue;
        const std::string reason = take_line(fields, number, last_ms);
        if (!reason.empty()) {
            problem = name + ":" + std::to_string(number) + ": " + reason;
            clear();
            return false;
        }
    }
    file_name = name;
    return true;
}

bool load(const char* path, std::string& problem) {
    // Far more than a test would script; a larger file is no stimulus.
    constexpr size_t most_bytes = 64u << 20;
    const host::read_result file = host::read_regular_file(path, most_bytes);
    if (!file.ok) {
        problem = std::string(path) + ": " + (file.too_large ? "more than 64 MiB" : file.problem);
        return false;
    }
    return parse(path, std::string(file.bytes.begin(), file.bytes.end()), problem);
}

const std::vector<u16>& scripted_ids() { return ids; }

std::optional<s32> value_at(u16 id, s32 channel, s64 ms) {
    const auto found = changes.find({id, channel});
    if (found == changes.end()) return std::nullopt;
    read.insert(found->first);
    const std::vector<change>& list = found->second;
    // The last change at or before `ms`.
    const auto after = std::upper_bound(list.begin(), list.end(), ms,
                                        [](s64 t, const change& c) { return t < c.ms; });
    if (after == list.begin()) return std::nullopt;
    return std::prev(after)->value;
}

std::string unread_lines() {
    std::vector<std::pair<int, std::string>> unread; // line number, what it scripts
    for (const auto& [key, list] : changes) {
        if (read.contains(key)) continue;
        const method_id_row* row = find_method_id(key.first); // take_line found it
        std::string function(row->java_name());
        if (row->shape == drive_shape::channel_argument_int_result) {
            function += ' '; // appended apart: g++ 12 sees an overlap in " " + to_string
            function += std::to_string(key.second);
        }
        for (const change& c : list) unread.emplace_back(c.line, function);
    }
    if (unread.empty()) return "";
    std::sort(unread.begin(), unread.end());
    std::string text = file_name + ": the program never read";
    for (size_t i = 0; i < unread.size(); ++i)
        text += (i ? ", line " : " line ") + std::to_string(unread[i].first) + " (" +
                unread[i].second + ")";
    return text;
}

} // namespace drive_script
