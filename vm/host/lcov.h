// LCOV tracefiles (the format of lcov's geninfo): per source file its functions, lines and
// branches with their counts. The emulator writes one per run; mirt_test merges them.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "mirt_types.h"

namespace lcov {

struct source {
    std::map<std::string, u32> functions;     // name -> first line
    std::map<std::string, u64> function_hits; // name -> entries
    std::map<u32, u64> lines;                 // line -> executions
    // (line, block, branch) -> times taken; none where the branch itself never ran
    std::map<std::tuple<u32, u32, u32>, std::optional<u64>> branches;
};

using tracefile = std::map<std::string, source>; // by the SF path

std::string write(const tracefile& t);

// Reads what write() writes; records it does not know are left out.
tracefile parse(const std::string& text);

// Adds `from` to `into`, its source files renamed through `rename` where it names them.
void merge(tracefile& into, const tracefile& from,
           const std::map<std::string, std::string>& rename = {});

} // namespace lcov
