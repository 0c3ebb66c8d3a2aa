#include "drive_description.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <climits>
#include <set>
#include <string_view>

#include "host_files.h"

namespace drive {

namespace {

// Every key of the map, with the range of its value. One row per key: the reader, the
// refusal of unknown keys and the documentation's list follow it.
struct int_key {
    std::string_view name;
    s32 description::*field;
    s64 min;
    s64 max;
};
constexpr int_key int_keys[] = {
    {"max_speed", &description::max_speed, 1, INT32_MAX},
    {"max_acceleration", &description::max_acceleration, 1, INT32_MAX},
    {"lag_ms", &description::lag_ms, 0, 60000},
    {"position_window", &description::position_window, 0, INT32_MAX},
    {"following_error_limit", &description::following_error_limit, 1, INT32_MAX},
    {"min_position", &description::min_position, INT32_MIN, INT32_MAX},
    {"max_position", &description::max_position, INT32_MIN, INT32_MAX},
    {"home_position", &description::home_position, INT32_MIN, INT32_MAX},
    {"start_position", &description::start_position, INT32_MIN, INT32_MAX},
    {"current_limit_ma", &description::current_limit_ma, 0, 1000000},
    {"friction_ma", &description::friction_ma, 0, 1000000},
    {"ma_per_acceleration", &description::ma_per_acceleration, 0, 1000000},
    {"standstill_current_ma", &description::standstill_current_ma, 0, 1000000},
    {"home_switch_bit", &description::home_switch_bit, 0, 31},
    {"home_switch_position", &description::home_switch_position, INT32_MIN, INT32_MAX},
    {"lower_limit_switch_bit", &description::lower_limit_switch_bit, 0, 31},
    {"lower_limit_switch_position", &description::lower_limit_switch_position, INT32_MIN,
     INT32_MAX},
    {"upper_limit_switch_bit", &description::upper_limit_switch_bit, 0, 31},
    {"upper_limit_switch_position", &description::upper_limit_switch_position, INT32_MIN,
     INT32_MAX},
    {"sample_ms", &description::sample_ms, 1, 3600000},
};

// A refusal at a node: "file:line: reason" (lines counted from 1).
struct refusal {
    int line;
    std::string reason;
};

int line_of(const YAML::Node& node) { return node.Mark().line + 1; }

// The node's value as an integer in [min, max], or a refusal.
s64 integer(const YAML::Node& node, std::string_view key, s64 min, s64 max) {
    if (!node.IsScalar()) throw refusal{line_of(node), std::string(key) + ": expected an integer"};
    const std::string& text = node.Scalar();
    size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size())
        throw refusal{line_of(node),
                      std::string(key) + ": expected an integer, not '" + text + "'"};
    if (value < min || value > max)
        throw refusal{line_of(node), std::string(key) + ": " + text + " is outside " +
                                         std::to_string(min) + " to " + std::to_string(max)};
    return value;
}

bool boolean(const YAML::Node& node, std::string_view key) {
    const std::string text = node.IsScalar() ? node.Scalar() : "";
    if (text == "true") return true;
    if (text == "false") return false;
    throw refusal{line_of(node), std::string(key) + ": expected true or false"};
}

event read_event(const YAML::Node& item) {
    if (!item.IsMap()) throw refusal{line_of(item), "events: each event is a map"};
    event e;
    bool has_time = false;
    int kinds = 0;
    for (const auto& entry : item) {
        const std::string key = entry.first.Scalar();
        const YAML::Node& value = entry.second;
        if (key == "at_ms") {
            e.at_ms = integer(value, key, 0, INT64_MAX);
            has_time = true;
        } else if (key == "load_ma") {
            e.what = event::kind::load;
            e.load_ma = static_cast<s32>(integer(value, key, 0, 1000000));
            ++kinds;
        } else if (key == "block" || key == "encoder_fault") {
            if (!boolean(value, key))
                throw refusal{line_of(value), key + ": only true makes an event"};
            e.what = key == "block" ? event::kind::block : event::kind::encoder_fault;
            ++kinds;
        } else if (key == "limit_switch") {
            const std::string side = value.IsScalar() ? value.Scalar() : "";
            if (side != "lower" && side != "upper")
                throw refusal{line_of(value), "limit_switch: expected lower or upper"};
            e.what =
                side == "lower" ? event::kind::lower_limit_switch : event::kind::upper_limit_switch;
            ++kinds;
        } else {
            throw refusal{line_of(entry.first), "unknown event key '" + key + "'"};
        }
    }
    if (!has_time) throw refusal{line_of(item), "event without at_ms"};
    if (kinds != 1)
        throw refusal{line_of(item),
                      "an event has exactly one of load_ma, block, encoder_fault, limit_switch"};
    return e;
}

void read_map(const YAML::Node& root, description& out) {
    if (root.IsNull()) return; // an empty file: every default
    if (!root.IsMap()) throw refusal{line_of(root), "a drive description is a map of keys"};
    std::set<std::string> seen;
    for (const auto& entry : root) {
        if (!entry.first.IsScalar()) throw refusal{line_of(entry.first), "a key must be a name"};
        const std::string key = entry.first.Scalar();
        if (!seen.insert(key).second)
            throw refusal{line_of(entry.first), "'" + key + "' given twice"};
        const YAML::Node& value = entry.second;
        const auto row = std::find_if(std::begin(int_keys), std::end(int_keys),
                                      [&](const int_key& k) { return k.name == key; });
        if (row != std::end(int_keys)) {
            out.*(row->field) = static_cast<s32>(integer(value, key, row->min, row->max));
        } else if (key == "data_sets") {
            if (!value.IsScalar() || value.Scalar().empty())
                throw refusal{line_of(value), "data_sets: expected a file name"};
            out.data_sets = value.Scalar();
        } else if (key == "events") {
            if (!value.IsSequence()) throw refusal{line_of(value), "events: expected a list"};
            for (const auto& item : value) out.events.push_back(read_event(item));
        } else {
            throw refusal{line_of(entry.first), "unknown key '" + key + "'"};
        }
    }
    if (out.min_position > out.max_position)
        throw refusal{line_of(root), "min_position is above max_position"};
    if (out.start_position < out.min_position || out.start_position > out.max_position)
        throw refusal{line_of(root), "start_position is outside min_position to max_position"};
    std::stable_sort(out.events.begin(), out.events.end(),
                     [](const event& a, const event& b) { return a.at_ms < b.at_ms; });
}

} // namespace

bool parse_description(const std::string& name, const std::string& text, description& out,
                       std::string& problem) {
    description read;
    try {
        read_map(YAML::Load(text), read);
    } catch (const refusal& r) {
        problem = name + ":" + std::to_string(r.line) + ": " + r.reason;
        return false;
    } catch (const YAML::Exception& e) {
        problem = name + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg;
        return false;
    }
    out = std::move(read);
    return true;
}

bool read_description(const char* path, description& out, std::string& problem) {
    constexpr size_t limit = 1 << 20;
    const host::read_result file = host::read_regular_file(path, limit);
    if (file.too_large) {
        problem = std::string(path) + ": larger than 1 MiB";
        return false;
    }
    if (!file.ok) {
        problem = std::string(path) + ": " + file.problem;
        return false;
    }
    return parse_description(path, std::string(file.bytes.begin(), file.bytes.end()), out, problem);
}

} // namespace drive
