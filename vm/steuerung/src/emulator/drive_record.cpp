#include "drive_record.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include "host_files.h"

namespace drive_record {

namespace {

constexpr int WRITE_FAILED_STATUS = 255;

struct signal {
    std::string name;
    std::string code;                       // the VCD identifier
    bool has_value = false;                 // not yet called: unknown
    s32 value = 0;                          // the last recorded
    std::vector<std::pair<s64, s32>> steps; // (ms, value) at each change, for the picture
};

struct recording {
    std::unique_ptr<host::atomic_file> vcd, csv, svg, log; // log: every call, for mirt_test
    std::FILE* vcd_changes = nullptr; // the dump's body, written after its header at the end
    s64 vcd_time = 0;                 // the last time stamp (the header ends at #0)
    std::vector<signal> signals;      // in the order of their first call
    std::map<std::string, size_t> by_name;
    bool any = false;
};

recording rec;

// VCD identifiers: printable characters from '!' to '~', more than one where needed.
std::string identifier(size_t index) {
    std::string code;
    do {
        code += static_cast<char>('!' + index % 94);
        index /= 94;
    } while (index > 0);
    return code;
}

std::string binary(s32 value) {
    const u32 bits = static_cast<u32>(value);
    std::string text;
    for (int bit = 31; bit >= 0; --bit)
        if (!text.empty() || (bits >> bit & 1) || bit == 0) text += (bits >> bit & 1) ? '1' : '0';
    return text;
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes doubled.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string xml_text(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

bool open_one(const char* path, std::unique_ptr<host::atomic_file>& file, std::string& problem) {
    if (!path) return true;
    if (const auto identity = host::identity_of(path)) {
        const std::string kind = host::non_regular_kind(identity->mode);
        if (!kind.empty()) {
            problem = std::string(path) + " is " + kind + ", not a file to write";
            return false;
        }
    }
    file = std::make_unique<host::atomic_file>(path);
    if (!file->open(problem)) {
        problem = std::string(path) + ": " + problem;
        file.reset();
        return false;
    }
    return true;
}

// The time of the dump's header: SOURCE_DATE_EPOCH where it is set, for files that are the
// same each time; the current time otherwise.
std::string dump_date() {
    std::time_t now = std::time(nullptr);
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"))
        now = std::strtoll(epoch, nullptr, 10);
    char text[64];
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

void write_vcd(std::FILE* out, s64 end_ms) {
    std::fprintf(out, "$date\n\t%s\n$end\n", dump_date().c_str());
    std::fprintf(out, "$version\n\tmirt_emulator 1\n$end\n");
    std::fprintf(out, "$timescale 1 ms $end\n");
    std::fprintf(out, "$scope module drive $end\n");
    for (const signal& s : rec.signals)
        std::fprintf(out, "$var integer 32 %s %s $end\n", s.code.c_str(), s.name.c_str());
    std::fprintf(out, "$upscope $end\n$enddefinitions $end\n");
    std::fprintf(out, "#0\n$dumpvars\n");
    for (const signal& s : rec.signals) std::fprintf(out, "bx %s\n", s.code.c_str());
    std::fprintf(out, "$end\n");
    std::rewind(rec.vcd_changes);
    char block[1 << 14];
    for (size_t n; (n = std::fread(block, 1, sizeof block, rec.vcd_changes)) > 0;)
        std::fwrite(block, 1, n, out);
    if (end_ms > rec.vcd_time) std::fprintf(out, "#%lld\n", static_cast<long long>(end_ms));
}

void write_svg(std::FILE* out, s64 end_ms) {
    constexpr int width = 900, left = 90, right = 30, plot_height = 80, band = 150, top = 40;
    const int height = band * static_cast<int>(rec.signals.size() ? rec.signals.size() : 1) + 20;
    const double span = static_cast<double>(end_ms > 0 ? end_ms : 1);
    const int plot_width = width - left - right;
    std::fprintf(out,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                 "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                 width, height, width, height);
    if (rec.signals.empty())
        std::fprintf(out, "<text x=\"%d\" y=\"20\">no drive function was called</text>\n", left);
    for (size_t i = 0; i < rec.signals.size(); ++i) {
        const signal& s = rec.signals[i];
        const int y0 = static_cast<int>(i) * band + top; // top of the plot area
        s32 low = s.steps.front().second, high = low;
        for (auto [t, v] : s.steps) {
            low = v < low ? v : low;
            high = v > high ? v : high;
        }
        const double range = high > low ? static_cast<double>(high) - low : 1.0;
        auto x = [&](s64 t) { return left + plot_width * (static_cast<double>(t) / span); };
        auto y = [&](s32 v) {
            return y0 + plot_height - plot_height * ((v - static_cast<double>(low)) / range);
        };
        std::fprintf(out, "<g class=\"plot\">\n<title>%s</title>\n", xml_text(s.name).c_str());
        std::fprintf(out, "<text x=\"%d\" y=\"%d\" font-weight=\"bold\">%s</text>\n", left, y0 - 12,
                     xml_text(s.name).c_str());
        // axes, with the time and value ranges at their ends
        std::fprintf(out,
                     "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"black\"/>\n"
                     "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"black\"/>\n",
                     left, y0, left, y0 + plot_height, left, y0 + plot_height, left + plot_width,
                     y0 + plot_height);
        std::fprintf(out,
                     "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%d</text>\n"
                     "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%d</text>\n",
                     left - 6, y0 + 4, high, left - 6, y0 + plot_height + 4, low);
        std::fprintf(out,
                     "<text x=\"%d\" y=\"%d\">0</text>\n"
                     "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%lld</text>\n"
                     "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">emulated time (ms)</text>\n"
                     "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\" transform=\"rotate(-90 %d "
                     "%d)\">value</text>\n",
                     left, y0 + plot_height + 16, left + plot_width, y0 + plot_height + 16,
                     static_cast<long long>(end_ms), left + plot_width / 2, y0 + plot_height + 30,
                     left - 60, y0 + plot_height / 2, left - 60, y0 + plot_height / 2);
        std::fprintf(out,
                     "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1.5\" points=\"");
        double last_y = y(s.steps.front().second);
        for (size_t k = 0; k < s.steps.size(); ++k) {
            const double sx = x(s.steps[k].first), sy = y(s.steps[k].second);
            if (k) std::fprintf(out, " %.1f,%.1f", sx, last_y);
            std::fprintf(out, "%s%.1f,%.1f", k ? " " : "", sx, sy);
            last_y = sy;
        }
        std::fprintf(out, " %.1f,%.1f\"/>\n</g>\n", x(end_ms), last_y);
    }
    std::fprintf(out, "</svg>\n");
}

} // namespace

bool open(const paths& files, std::string& problem) {
    if (!open_one(files.vcd, rec.vcd, problem) || !open_one(files.csv, rec.csv, problem) ||
        !open_one(files.svg, rec.svg, problem) || !open_one(files.signals, rec.log, problem))
        return false;
    if (rec.vcd) {
        rec.vcd_changes = std::tmpfile();
        if (!rec.vcd_changes) {
            problem = std::string(files.vcd) + ": no room for the dump's changes";
            return false;
        }
    }
    if (rec.csv) std::fputs("ms,instructions,function,argument,result\r\n", rec.csv->stream());
    if (rec.log) std::fputs("mirt-signals 1\n", rec.log->stream());
    rec.any = rec.vcd || rec.csv || rec.svg || rec.log;
    return true;
}

bool active() { return rec.any; }

bool wants_sites() { return rec.log != nullptr; }

void record(const call& c, s64 ms, u64 instructions) {
    if (rec.csv) {
        const std::string result = c.has_result ? std::to_string(c.result) : "";
        std::fprintf(rec.csv->stream(), "%lld,%llu,%s,%s,%s\r\n", static_cast<long long>(ms),
                     static_cast<unsigned long long>(instructions), csv_field(c.function).c_str(),
                     csv_field(c.arguments).c_str(), result.c_str());
    }
    if (rec.log)
        std::fprintf(rec.log->stream(), "call\t%lld\t%s\t%d\t%s\n", static_cast<long long>(ms),
                     c.signal.c_str(), c.shown, c.site.c_str());
    if (!rec.vcd && !rec.svg) return;
    auto [place, added] = rec.by_name.try_emplace(c.signal, rec.signals.size());
    if (added) rec.signals.push_back({c.signal, identifier(place->second), false, 0, {}});
    signal& s = rec.signals[place->second];
    if (s.has_value && s.value == c.shown) return; // a dump records changes only
    s.has_value = true;
    s.value = c.shown;
    if (rec.svg) s.steps.emplace_back(ms, c.shown);
    if (rec.vcd) {
        if (ms != rec.vcd_time)
            std::fprintf(rec.vcd_changes, "#%lld\n", static_cast<long long>(ms));
        rec.vcd_time = ms;
        std::fprintf(rec.vcd_changes, "b%s %s\n", binary(c.shown).c_str(), s.code.c_str());
    }
}

int finish(int status, s64 end_ms) {
    if (!rec.any) return status;
    rec.any = false; // a second end (a signal while finishing) writes nothing twice
    int result = status;
    auto commit = [&](std::unique_ptr<host::atomic_file>& file) {
        if (!file) return;
        std::string problem;
        if (!file->commit(problem)) {
            std::printf("ERROR: the recording %s could not be written (%s)\n",
                        file->target().c_str(), problem.c_str());
            result = WRITE_FAILED_STATUS;
        }
        file.reset();
    };
    if (rec.vcd) {
        if (rec.vcd_changes && std::ferror(rec.vcd_changes)) {
            std::printf("ERROR: the recording %s could not be written (its changes were lost)\n",
                        rec.vcd->target().c_str());
            rec.vcd.reset();
            result = WRITE_FAILED_STATUS;
        } else {
            write_vcd(rec.vcd->stream(), end_ms);
        }
    }
    if (rec.svg) write_svg(rec.svg->stream(), end_ms);
    if (rec.log)
        std::fprintf(rec.log->stream(), "end\t%lld\t%d\n", static_cast<long long>(end_ms), status);
    commit(rec.vcd);
    commit(rec.csv);
    commit(rec.svg);
    commit(rec.log);
    return result;
}

} // namespace drive_record
