#include "run.h"

#include <optional>
#include <sstream>

namespace suite {

namespace {

using scenario::assertion;
using scenario::check;
using scenario::NOT_GIVEN;

std::string range_text(const assertion& a) {
    if (a.low == a.high) return std::to_string(a.low);
    std::string text = "["; // appended: GCC 12 warns wrongly about "[" + std::string
    text += std::to_string(a.low);
    text += ", ";
    text += std::to_string(a.high);
    return text + "]";
}

bool inside(const assertion& a, s64 v) { return v >= a.low && v <= a.high; }

// The last call of `signal` at or before `ms`, or null.
const call* value_at(const run& r, const std::string& signal, s64 ms) {
    const call* last = nullptr;
    for (const call& c : r.calls) {
        if (c.ms > ms) break;
        if (c.signal == signal) last = &c;
    }
    return last;
}

failure seen(const assertion& a, const std::string& message, s64 ms, const call* c) {
    failure f{a.text, message, ms, "", ""};
    if (c) {
        f.value = std::to_string(c->value);
        f.site = c->site;
    }
    return f;
}

// The source line an ending names: a fault's innermost "  at" line, where the map gave one.
std::string fault_site(const run& r) {
    for (const std::string& line : r.output) {
        const size_t open = line.find('('), close = line.find(')');
        if (line.starts_with("  at ") && open != std::string::npos && close > open)
            return line.substr(open + 1, close - open - 1);
    }
    return "";
}

std::optional<failure> judge_one(const assertion& a, const run& r) {
    const std::string& s = a.signal;
    switch (a.kind) {
    case check::equals:
    case check::within: {
        const call* c = value_at(r, s, a.at);
        if (!c) return seen(a, s + " was not called by " + std::to_string(a.at) + " ms", a.at, c);
        if (inside(a, c->value)) return std::nullopt;
        return seen(a,
                    s + " was " + std::to_string(c->value) + " (since " + std::to_string(c->ms) +
                        " ms), not " + range_text(a),
                    a.at, c);
    }
    case check::reaches: {
        const call* first = nullptr;
        for (const call& c : r.calls) {
            if (c.ms > a.at) break;
            if (c.signal != s) continue;
            if (!first) first = &c;
            // From below it must come up to the value, from above down to it.
            if (first->value <= a.low ? c.value >= a.low : c.value <= a.low) return std::nullopt;
        }
        const call* last = value_at(r, s, a.at);
        if (!last)
            return seen(a, s + " was not called by " + std::to_string(a.at) + " ms", a.at, last);
        return seen(
            a, s + " was " + std::to_string(last->value) + ", it did not reach " + range_text(a),
            a.at, last);
    }
    case check::always:
    case check::never: {
        const call* any = nullptr;
        for (const call& c : r.calls) {
            if (c.signal != s) continue;
            any = &c;
            if (inside(a, c.value) != (a.kind == check::always))
                return seen(a,
                            s + " was " + std::to_string(c.value) + ", " +
                                (a.kind == check::always ? "outside " : "inside ") + range_text(a),
                            c.ms, &c);
        }
        if (!any && a.kind == check::always) return seen(a, s + " was never called", r.end_ms, any);
        return std::nullopt;
    }
    case check::count: {
        const s64 until = a.at == NOT_GIVEN ? r.end_ms : a.at;
        s64 count = 0;
        const call* last = nullptr;
        for (const call& c : r.calls)
            if (c.signal == s && c.ms <= until) ++count, last = &c;
        if (count >= a.low && count <= a.high) return std::nullopt;
        failure f =
            seen(a, s + " was called " + std::to_string(count) + " times, not " + range_text(a),
                 until, last);
        f.value = std::to_string(count);
        return f;
    }
    case check::order: {
        size_t next = 0;
        const call* matched = nullptr;
        for (size_t k = 0; k < a.steps.size(); ++k) {
            const scenario::step& st = a.steps[k];
            const call* found = nullptr;
            for (; next < r.calls.size() && !found; ++next) {
                const call& c = r.calls[next];
                if (st.by != NOT_GIVEN && c.ms > st.by) break;
                if (c.signal == st.signal && (st.value == NOT_GIVEN || c.value == st.value))
                    found = &c;
            }
            if (!found) {
                std::string what = st.signal;
                if (st.value != NOT_GIVEN) what += " = " + std::to_string(st.value);
                std::string message = "step " + std::to_string(k + 1) + " (" + what + ") did not ";
                message += matched ? "follow step " + std::to_string(k) + " (at " +
                                         std::to_string(matched->ms) + " ms)"
                                   : "happen";
                const s64 ms = st.by != NOT_GIVEN ? st.by : r.end_ms;
                return seen(a, message, ms, value_at(r, st.signal, ms));
            }
            matched = found;
        }
        return std::nullopt;
    }
    case check::status: {
        const std::string ended = ending(r.exit_status);
        if (ended == a.status) return std::nullopt;
        failure f{a.text, "the run ended " + ended + ", not " + a.status, r.end_ms, ended, ""};
        f.site = fault_site(r);
        return f;
    }
    case check::no_error:
        for (const std::string& line : r.output)
            if (line.starts_with("ERROR:"))
                return failure{a.text, "the run printed \"" + line + "\"", r.end_ms, "",
                               fault_site(r)};
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace

std::string ending(int exit_status) {
    switch (exit_status) {
    case 0: return "returned";
    case 2: return "bound";
    case 255: return "fault";
    default: return "status " + std::to_string(exit_status);
    }
}

bool read_signals(const std::string& text, run& r) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != "mirt-signals 1") return false;
    bool ended = false;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::string field;
        std::istringstream parts(line);
        while (std::getline(parts, field, '\t')) fields.push_back(field);
        // A sampled state value has no call site: its last field is empty.
        if (!line.empty() && line.back() == '\t') fields.emplace_back();
        if (fields.size() == 5 && fields[0] == "call") {
            r.calls.push_back({std::stoll(fields[1]), fields[2], std::stoll(fields[3]), fields[4]});
        } else if (fields.size() == 3 && fields[0] == "end") {
            r.end_ms = std::stoll(fields[1]);
            ended = true;
        } else {
            return false;
        }
    }
    return ended;
}

std::vector<failure> judge(const scenario::test_case& c, const run& r) {
    std::vector<failure> failures;
    // Drive lines in order: each expected line after the one before, others between them.
    size_t expected = 0, printed = 0, last_match = 0;
    for (; printed < r.output.size() && expected < c.expect.size(); ++printed) {
        if (r.output[printed] == c.expect[expected]) {
            ++expected;
            last_match = printed + 1;
        }
    }
    if (expected < c.expect.size()) {
        std::string message = "expected line " + std::to_string(expected + 1) + " \"" +
                              c.expect[expected] + "\" was not printed";
        if (expected) message += " after output line " + std::to_string(last_match);
        failures.push_back({"expect", message, r.end_ms, "", ""});
    }
    bool asks_status = false;
    for (const assertion& a : c.assertions) {
        asks_status |= a.kind == check::status;
        if (std::optional<failure> f = judge_one(a, r)) failures.push_back(*f);
    }
    // Without a status assertion, a run that did not return or stop at its bound fails.
    const std::string ended = ending(r.exit_status);
    if (!asks_status && ended != "returned" && ended != "bound")
        failures.push_back(
            {"the run", "ended " + ended, r.end_ms, ended, ended == "fault" ? fault_site(r) : ""});
    return failures;
}

} // namespace suite
