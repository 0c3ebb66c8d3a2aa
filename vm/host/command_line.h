// Command-line options of the three programs as one table each: a row names an option, the
// value it takes, its line of help and where it is stored. Reading, the refusal of an option
// given twice, the line that says why a command line is refused and --help all come from it.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "mirt_types.h"

namespace host {

// Where a row's value goes: a switch sets a bool, a text is kept as given, a count is read
// as decimal digits within [least, most].
struct count_value {
    u64* value;
    u64 least;
    u64 most;
    const char* wants; // what is wanted, for the reason line: "a whole number of milliseconds"
};
struct text_value {
    const char** value;
    const char* wants; // "a file name"
};
using option_store = std::variant<bool*, text_value, count_value>;

struct option_row {
    const char* name;         // "-max-ms", matched exactly
    const char* metavariable; // "T" in the help, or nullptr for a switch
    const char* help;         // one line
    option_store store;
};

using option_table = std::vector<option_row>;

const option_row* find_option(const option_table& table, const char* argument);

bool is_help_request(const char* argument); // -h or --help

// Reads the option at argv[i] and its value, which must lie before argv[end]; moves i onto
// the last argument it took. `seen` has one entry per row. False, with a reason that names
// the option, when it is no option, was given before or its value is missing or wrong.
bool read_option(const option_table& table, std::vector<bool>& seen, char** argv, int& i, int end,
                 std::string& reason);

// Why argv[i], which is no option but stands before the last argument (the package), is
// refused: an option after it, or a second package.
std::string misplaced_argument(int argc, char** argv, int i);

// The option lines of --help: one line each, tab-indented, the help text in one column.
std::string option_help(const option_table& table);

// On standard error: "<program>: <reason>" and where the options are explained.
void report_usage_error(const char* program, const std::string& reason);

// "<program>: <path>: <problem>" on standard error, for a file a program cannot use.
void report_file_problem(const char* program, const char* path, const std::string& problem);

} // namespace host
