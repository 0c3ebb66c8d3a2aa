#include "scenario.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "drive_script.h"
#include "drive_signal.h"
#include "host_files.h"

namespace scenario {

namespace {

namespace fs = std::filesystem;

struct reader {
    const file& f;

    [[noreturn]] void refuse(const YAML::Node& at, const std::string& reason) const {
        throw unusable(place(f, at.Mark().line + 1, reason));
    }

    void only_keys(const YAML::Node& map, const std::set<std::string>& known,
                   const char* what) const {
        if (!map.IsMap()) refuse(map, std::string(what) + " must be a mapping");
        for (const auto& entry : map) {
            const std::string key = entry.first.as<std::string>();
            if (!known.count(key)) refuse(entry.first, "unknown key \"" + key + "\" in " + what);
        }
    }

    std::string text(const YAML::Node& node, const char* key) const {
        if (!node.IsScalar()) refuse(node, std::string(key) + " must be a single value");
        return node.as<std::string>();
    }

    s64 number(const YAML::Node& node, const char* key) const {
        const std::string t = text(node, key);
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(t.c_str(), &end, 10);
        if (t.empty() || *end || errno) refuse(node, std::string(key) + " must be an integer");
        return value;
    }

    // A time or count: a whole number, not negative.
    std::string bound(const YAML::Node& node, const char* key) const {
        if (number(node, key) < 0) refuse(node, std::string(key) + " must not be negative");
        return text(node, key);
    }

    std::vector<std::string> texts(const YAML::Node& node, const char* key) const {
        std::vector<std::string> out;
        if (node.IsScalar()) return {node.as<std::string>()};
        if (!node.IsSequence()) refuse(node, std::string(key) + " must be a list");
        for (const auto& item : node) out.push_back(text(item, key));
        return out;
    }

    // `value` or `[low, high]`.
    void range(const YAML::Node& node, const char* key, s64& low, s64& high) const {
        if (node.IsScalar()) {
            low = high = number(node, key);
            return;
        }
        if (!node.IsSequence() || node.size() != 2)
            refuse(node, std::string(key) + " must be a value or [low, high]");
        low = number(node[0], key);
        high = number(node[1], key);
        if (low > high) refuse(node, std::string(key) + ": low is above high");
    }

    std::string signal(const YAML::Node& node) const {
        const std::string name = text(node, "signal");
        if (!is_drive_signal_name(name)) refuse(node, "unknown signal \"" + name + "\"");
        return name;
    }

    std::string path(const YAML::Node& node, const char* key) const {
        const fs::path given = text(node, key);
        const fs::path resolved =
            given.is_absolute() ? given : fs::path(f.path).parent_path() / given;
        if (!fs::is_regular_file(resolved))
            refuse(node, std::string(key) + ": " + resolved.string() + " cannot be read");
        return fs::absolute(resolved).lexically_normal().string();
    }

    static std::string flow(const YAML::Node& node) {
        YAML::Emitter out;
        out.SetMapFormat(YAML::Flow);
        out.SetSeqFormat(YAML::Flow);
        out << node;
        return out.c_str();
    }

    assertion check_of(const YAML::Node& node) const {
        only_keys(node,
                  {"signal", "at", "equals", "within", "by", "reaches", "always", "never", "count",
                   "order", "status", "no_error"},
                  "an assertion");
        assertion a;
        a.text = flow(node);
        a.line = node.Mark().line + 1;
        auto has = [&](const char* key) { return static_cast<bool>(node[key]); };
        int kinds = 0;
        for (const char* key : {"equals", "within", "reaches", "always", "never", "count", "order",
                                "status", "no_error"})
            kinds += has(key);
        if (kinds != 1)
            refuse(node, "an assertion needs exactly one of equals, within, reaches, always, "
                         "never, count, order, status, no_error");
        const bool signal_kind = !has("order") && !has("status") && !has("no_error");
        if (signal_kind && !has("signal")) refuse(node, "this assertion needs a signal");
        if (!signal_kind && has("signal")) refuse(node["signal"], "this assertion takes no signal");
        if (has("signal")) a.signal = signal(node["signal"]);
        if (has("equals") || has("within")) {
            if (!has("at")) refuse(node, "equals and within need at");
            a.at = number(node["at"], "at");
            a.kind = has("equals") ? check::equals : check::within;
            if (has("equals"))
                a.low = a.high = number(node["equals"], "equals");
            else
                range(node["within"], "within", a.low, a.high);
        } else if (has("reaches")) {
            if (!has("by")) refuse(node, "reaches needs by");
            a.kind = check::reaches;
            a.at = number(node["by"], "by");
            a.low = a.high = number(node["reaches"], "reaches");
        } else if (has("always") || has("never")) {
            a.kind = has("always") ? check::always : check::never;
            range(node[has("always") ? "always" : "never"], "always", a.low, a.high);
        } else if (has("count")) {
            a.kind = check::count;
            range(node["count"], "count", a.low, a.high);
            if (has("by")) a.at = number(node["by"], "by");
        } else if (has("status")) {
            a.kind = check::status;
            a.status = text(node["status"], "status");
            if (a.status != "returned" && a.status != "bound" && a.status != "fault")
                refuse(node["status"], "status must be returned, bound or fault");
        } else if (has("no_error")) {
            a.kind = check::no_error;
            if (text(node["no_error"], "no_error") != "true")
                refuse(node["no_error"], "no_error must be true");
        } else {
            a.kind = check::order;
            const YAML::Node steps = node["order"];
            if (!steps.IsSequence() || steps.size() == 0) refuse(steps, "order must be a list");
            for (const auto& s : steps) {
                only_keys(s, {"signal", "equals", "by"}, "an order step");
                if (!s["signal"]) refuse(s, "an order step needs a signal");
                step st;
                st.signal = signal(s["signal"]);
                if (s["equals"]) st.value = number(s["equals"], "equals");
                if (s["by"]) st.by = number(s["by"], "by");
                a.steps.push_back(st);
            }
        }
        if (has("at") && a.kind != check::equals && a.kind != check::within)
            refuse(node["at"], "at belongs to equals and within");
        if (has("by") && a.kind != check::reaches && a.kind != check::count)
            refuse(node["by"], "by belongs to reaches and count");
        return a;
    }

    // The stimulus lines so far, checked as the emulator will read them: the first line
    // that makes them unreadable is the one refused.
    void stimulus(const YAML::Node& node, const std::string& so_far,
                  const std::string& line) const {
        std::string problem;
        const bool ok = drive_script::parse("inputs", so_far, problem);
        drive_script::clear();
        if (!ok) {
            const size_t reason = problem.find(": ");
            refuse(node, "bad stimulus line \"" + line + "\": " +
                             (reason == std::string::npos ? problem : problem.substr(reason + 2)));
        }
    }

    test_case case_of(const YAML::Node& node) const {
        only_keys(node,
                  {"name", "max_ms", "max_steps", "inputs", "inputs_file", "expect", "expect_file",
                   "assert"},
                  "a case");
        test_case c;
        c.line = node.Mark().line + 1;
        if (!node["name"]) refuse(node, "a case needs a name");
        c.name = text(node["name"], "name");
        if (node["max_ms"]) c.max_ms = bound(node["max_ms"], "max_ms");
        if (node["max_steps"]) c.max_steps = bound(node["max_steps"], "max_steps");
        if (node["max_steps"] && number(node["max_steps"], "max_steps") == 0)
            refuse(node["max_steps"], "max_steps must be at least 1");
        if (node["inputs"] && node["inputs_file"])
            refuse(node["inputs_file"], "inputs and inputs_file exclude each other");
        if (node["inputs"]) {
            const YAML::Node list = node["inputs"];
            if (!list.IsSequence()) refuse(list, "inputs must be a list");
            for (const auto& item : list) {
                const std::string line = text(item, "inputs");
                c.inputs += line + "\n";
                stimulus(item, c.inputs, line);
            }
        }
        if (node["inputs_file"]) {
            c.inputs_file = path(node["inputs_file"], "inputs_file");
            std::string problem;
            drive_script::clear();
            const bool ok = drive_script::load(c.inputs_file.c_str(), problem);
            drive_script::clear();
            if (!ok) refuse(node["inputs_file"], "bad stimulus file: " + problem);
        }
        if (node["expect"] && node["expect_file"])
            refuse(node["expect_file"], "expect and expect_file exclude each other");
        if (node["expect"]) c.expect = texts(node["expect"], "expect");
        if (node["expect_file"]) {
            const std::string p = path(node["expect_file"], "expect_file");
            const host::read_result r = host::read_regular_file(p.c_str(), 64u << 20);
            if (!r.ok) refuse(node["expect_file"], "expect_file: " + r.problem);
            std::string line;
            for (const u8 ch : r.bytes) {
                if (ch != '\n') {
                    line += static_cast<char>(ch);
                } else {
                    c.expect.push_back(line);
                    line.clear();
                }
            }
            if (!line.empty()) c.expect.push_back(line);
        }
        if (node["assert"]) {
            const YAML::Node list = node["assert"];
            if (!list.IsSequence()) refuse(list, "assert must be a list");
            for (const auto& item : list) c.assertions.push_back(check_of(item));
        }
        return c;
    }
};

} // namespace

std::string place(const file& f, int line, const std::string& reason) {
    return f.path + ":" + std::to_string(line) + ": " + reason;
}

file load(const std::string& path) {
    file f;
    f.path = path;
    f.name = fs::path(path).filename().string();
    for (const char* suffix : {".yaml", ".yml"})
        if (f.name.ends_with(suffix) && f.name.size() > std::string(suffix).size())
            f.name.resize(f.name.size() - std::string(suffix).size());
    const host::read_result r = host::read_regular_file(path.c_str(), 16u << 20);
    if (!r.ok) throw unusable(path + ": " + r.problem);
    YAML::Node root;
    try {
        root = YAML::Load(std::string(r.bytes.begin(), r.bytes.end()));
    } catch (const YAML::Exception& e) {
        throw unusable(place(f, e.mark.line + 1, e.msg));
    }
    const reader in{f};
    if (!root.IsMap()) throw unusable(place(f, 1, "a scenario file is a mapping"));
    try {
        in.only_keys(root, {"program", "drive", "options", "cases"}, "the scenario");
        if (!root["program"]) in.refuse(root, "the scenario needs a program");
        const YAML::Node program = root["program"];
        f.program_line = program.Mark().line + 1;
        for (const std::string& source : in.texts(program, "program")) {
            const fs::path given = source;
            const fs::path resolved =
                given.is_absolute() ? given : fs::path(path).parent_path() / given;
            if (!fs::is_regular_file(resolved))
                in.refuse(program, "program: " + resolved.string() + " cannot be read");
            if (resolved.extension() != ".java")
                in.refuse(program, "program: " + source + " is no .java file");
            f.program.push_back(fs::absolute(resolved).lexically_normal().string());
        }
        if (f.program.empty()) in.refuse(program, "program names no source");
        if (root["drive"]) f.drive = in.path(root["drive"], "drive");
        if (root["options"]) {
            f.options = in.texts(root["options"], "options");
            f.options_line = root["options"].Mark().line + 1;
        }
        if (!root["cases"] || !root["cases"].IsSequence() || root["cases"].size() == 0)
            in.refuse(root["cases"] ? root["cases"] : root, "the scenario needs a list of cases");
        std::set<std::string> names;
        for (const auto& node : root["cases"]) {
            f.cases.push_back(in.case_of(node));
            if (!names.insert(f.cases.back().name).second)
                in.refuse(node, "a second case named \"" + f.cases.back().name + "\"");
        }
    } catch (const YAML::Exception& e) {
        throw unusable(place(f, e.mark.line + 1, e.msg));
    }
    return f;
}

} // namespace scenario
