#include "command_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace host {

namespace {

// Decimal digits only, no sign, within 64 bits.
bool parse_count(const char* text, u64& value) {
    if (!*text) return false;
    value = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9') return false;
        const u64 digit = static_cast<u64>(*c - '0');
        if (value > (~u64{0} - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

std::string quoted(const char* text) { return std::string("\"") + text + "\""; }

const char* wanted(const option_store& store) {
    if (const auto* text = std::get_if<text_value>(&store)) return text->wants;
    if (const auto* count = std::get_if<count_value>(&store)) return count->wants;
    return "";
}

} // namespace

const option_row* find_option(const option_table& table, const char* argument) {
    for (const option_row& row : table)
        if (std::strcmp(row.name, argument) == 0) return &row;
    return nullptr;
}

bool is_help_request(const char* argument) {
    return std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0;
}

bool read_option(const option_table& table, std::vector<bool>& seen, char** argv, int& i, int end,
                 std::string& reason) {
    const char* argument = argv[i];
    const option_row* row = find_option(table, argument);
    if (!row) {
        reason = std::string("unknown option ") + argument;
        return false;
    }
    const size_t index = static_cast<size_t>(row - table.data());
    if (seen[index]) {
        reason = std::string(argument) + " is given twice";
        return false;
    }
    seen[index] = true;
    if (bool* const* on = std::get_if<bool*>(&row->store)) {
        **on = true;
        return true;
    }
    if (i + 1 >= end) {
        reason = std::string(argument) + " needs " + wanted(row->store) + ", got none";
        return false;
    }
    const char* value = argv[++i];
    if (const auto* text = std::get_if<text_value>(&row->store)) {
        *text->value = value;
        return true;
    }
    const auto& count = std::get<count_value>(row->store);
    if (!parse_count(value, *count.value) || *count.value < count.least ||
        *count.value > count.most) {
        reason = std::string(argument) + " needs " + count.wants + ", got " + quoted(value);
        return false;
    }
    return true;
}

std::string misplaced_argument(int argc, char** argv, int i) {
    for (int k = i + 1; k < argc; ++k)
        if (argv[k][0] == '-')
            return std::string(argv[k]) + " comes after the package " + argv[i] +
                   "; options come before it";
    return std::string("one package at a time: ") + argv[i] + " and " + argv[argc - 1];
}

std::string option_help(const option_table& table) {
    auto shown = [](const option_row& row) {
        return std::string(row.name) +
               (row.metavariable ? std::string(" ") + row.metavariable : "");
    };
    size_t width = 0;
    for (const option_row& row : table) width = std::max(width, shown(row).size());
    std::string text;
    for (const option_row& row : table) {
        std::string left = shown(row);
        left.resize(width + 3, ' ');
        text += "\t" + left + row.help + "\n";
    }
    return text;
}

void report_usage_error(const char* program, const std::string& reason) {
    std::fprintf(stderr, "%s: %s\n%s: see %s --help\n", program, reason.c_str(), program, program);
}

void report_file_problem(const char* program, const char* path, const std::string& problem) {
    std::fprintf(stderr, "%s: %s: %s\n", program, path, problem.c_str());
}

} // namespace host
