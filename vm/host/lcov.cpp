#include "lcov.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace lcov {

std::string write(const tracefile& t) {
    std::ostringstream out;
    for (const auto& [path, s] : t) {
        out << "TN:\nSF:" << path << "\n";
        for (const auto& [name, line] : s.functions) out << "FN:" << line << "," << name << "\n";
        size_t functions_hit = 0;
        for (const auto& [name, hits] : s.function_hits) {
            out << "FNDA:" << hits << "," << name << "\n";
            functions_hit += hits > 0;
        }
        out << "FNF:" << s.functions.size() << "\nFNH:" << functions_hit << "\n";
        size_t branches_hit = 0;
        for (const auto& [at, taken] : s.branches) {
            const auto& [line, block, branch] = at;
            out << "BRDA:" << line << "," << block << "," << branch << ","
                << (taken ? std::to_string(*taken) : "-") << "\n";
            branches_hit += taken && *taken > 0;
        }
        out << "BRF:" << s.branches.size() << "\nBRH:" << branches_hit << "\n";
        size_t lines_hit = 0;
        for (const auto& [line, hits] : s.lines) {
            out << "DA:" << line << "," << hits << "\n";
            lines_hit += hits > 0;
        }
        out << "LF:" << s.lines.size() << "\nLH:" << lines_hit << "\nend_of_record\n";
    }
    return out.str();
}

tracefile parse(const std::string& text) {
    tracefile t;
    source* current = nullptr;
    std::istringstream in(text);
    auto number = [](const std::string& field) {
        return std::strtoull(field.c_str(), nullptr, 10);
    };
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            if (line == "end_of_record") current = nullptr;
            continue;
        }
        const std::string kind = line.substr(0, colon), rest = line.substr(colon + 1);
        if (kind == "SF") {
            current = &t[rest];
            continue;
        }
        if (!current) continue;
        std::vector<std::string> f;
        std::istringstream parts(rest);
        for (std::string field; std::getline(parts, field, ',');) f.push_back(field);
        if (kind == "FN" && f.size() >= 2) {
            current->functions[rest.substr(rest.find(',') + 1)] = static_cast<u32>(number(f[0]));
        } else if (kind == "FNDA" && f.size() >= 2) {
            current->function_hits[rest.substr(rest.find(',') + 1)] += number(f[0]);
        } else if (kind == "DA" && f.size() >= 2) {
            current->lines[static_cast<u32>(number(f[0]))] += number(f[1]);
        } else if (kind == "BRDA" && f.size() == 4) {
            // The branch is there also when it never ran ("-").
            const auto entry = current->branches.try_emplace(
                std::make_tuple(static_cast<u32>(number(f[0])), static_cast<u32>(number(f[1])),
                                static_cast<u32>(number(f[2]))));
            if (f[3] != "-") entry.first->second = entry.first->second.value_or(0) + number(f[3]);
        }
    }
    return t;
}

void merge(tracefile& into, const tracefile& from,
           const std::map<std::string, std::string>& rename) {
    for (const auto& [path, s] : from) {
        const auto renamed = rename.find(path);
        source& d = into[renamed != rename.end() ? renamed->second : path];
        for (const auto& [name, line] : s.functions) d.functions[name] = line;
        for (const auto& [name, hits] : s.function_hits) d.function_hits[name] += hits;
        for (const auto& [line, hits] : s.lines) d.lines[line] += hits;
        for (const auto& [at, taken] : s.branches) {
            const auto entry = d.branches.try_emplace(at);
            if (taken) entry.first->second = entry.first->second.value_or(0) + *taken;
        }
    }
}

} // namespace lcov
