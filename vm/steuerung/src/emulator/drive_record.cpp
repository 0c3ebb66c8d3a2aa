#include "drive_record.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include <unistd.h> // getcwd

#include "drive_plot.h"
#include "drive_script.h"
#include "host_files.h"

namespace drive_record {

namespace {

constexpr int WRITE_FAILED_STATUS = 255;

struct signal {
    std::string name;
    std::string code;                       // the VCD identifier
    bool has_value = false;                 // not yet called: unknown
    s32 value = 0;                          // the last recorded
    u64 calls = 0;                          // for the picture: also those that changed nothing
    const char* unit = "";                  // of the values, for the picture
    bool counts_calls = false;              // takes and gives no value: counts its calls
    std::vector<std::pair<s64, s32>> steps; // (ms, value) at each change, for the picture
};

struct recording {
    std::unique_ptr<host::atomic_file> vcd, csv, svg, gtkw, log; // log: every call, for mirt_test
    std::string vcd_path;                                        // absolute, for the save file
    bool has_window = false;
    s64 window_from = 0, window_to = 0;
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

bool open_one(const char* path, std::unique_ptr<host::atomic_file>& file, std::string& problem) {
    return !path || host::open_output(path, file, problem);
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
    std::vector<drive_plot::curve> curves;
    for (const signal& s : rec.signals)
        curves.push_back({s.name, s.unit, s.counts_calls, s.calls, &s.steps});
    if (rec.has_window)
        drive_plot::write_svg(out, curves, rec.window_from, rec.window_to, end_ms);
    else
        drive_plot::write_svg(out, curves, 0, end_ms > 0 ? end_ms : 1, end_ms);
}

// Where the dump will be, as an absolute path: the save file is read from anywhere.
std::string absolute_path(const char* path) {
    if (path[0] == '/') return path;
    char here[PATH_MAX];
    if (!getcwd(here, sizeof here)) return path;
    return std::string(here) + "/" + path;
}

// A GTKWave save file: every variable of the dump as a signed analogue step plot, three
// rows high, zoomed so that the whole run fits the window the file asks for.
void write_gtkw(std::FILE* out, s64 end_ms) {
    constexpr int window_width = 1000, names_width = 200, wave_width = 760;
    const s64 span = end_ms > rec.vcd_time ? end_ms : rec.vcd_time;
    const double zoom = span > 0 ? -std::log2(static_cast<double>(span) / wave_width) : 0.0;
    std::fprintf(out, "[*] mirt_emulator: the drive variables of the dump beside it\n");
    std::fprintf(out, "[dumpfile] \"%s\"\n", rec.vcd_path.c_str());
    std::fprintf(out, "[timestart] 0\n[size] %d 600\n[pos] -1 -1\n", window_width);
    std::fprintf(out, "*%.6f -1\n", zoom);
    std::fprintf(out, "[sst_expanded] 0\n[signals_width] %d\n", names_width);
    for (const signal& s : rec.signals) {
        // analogue step, signed decimal, right-justified; then two rows of height for it
        std::fprintf(out, "@8424\ndrive.%s\n@20000\n-\n-\n", s.name.c_str());
    }
}

} // namespace

bool open(const paths& files, std::string& problem) {
    if (!open_one(files.vcd, rec.vcd, problem) || !open_one(files.csv, rec.csv, problem) ||
        !open_one(files.svg, rec.svg, problem) || !open_one(files.gtkw, rec.gtkw, problem) ||
        !open_one(files.signals, rec.log, problem))
        return false;
    if (files.gtkw) rec.vcd_path = absolute_path(files.vcd);
    rec.has_window = files.has_window;
    rec.window_from = files.window_from;
    rec.window_to = files.window_to;
    if (rec.vcd) {
        rec.vcd_changes = std::tmpfile();
        if (!rec.vcd_changes) {
            problem = std::string(files.vcd) + ": no room for the dump's changes";
            return false;
        }
    }
    if (rec.csv) std::fputs("ms,instructions,function,argument,result\r\n", rec.csv->stream());
    if (rec.log) std::fputs("mirt-signals 1\n", rec.log->stream());
    rec.any = rec.vcd || rec.csv || rec.svg || rec.gtkw || rec.log;
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
    if (added) {
        signal s{c.signal, identifier(place->second), false, 0, 0, "drive units", false, {}};
        s.counts_calls = c.arguments.empty() && !c.has_result;
        if (s.counts_calls) s.unit = "calls";
        if (c.function == "GetMillis") s.unit = "ms";
        rec.signals.push_back(std::move(s));
    }
    signal& s = rec.signals[place->second];
    ++s.calls;
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

void sample(const char* signal, s32 value, s64 ms, u64 instructions) {
    static std::map<std::string, s32> last; // also for a CSV alone, which keeps no signals
    const auto [place, added] = last.try_emplace(signal, value);
    if (!added && place->second == value) return;
    place->second = value;
    call c;
    c.signal = c.function = signal;
    c.has_result = true;
    c.result = c.shown = value;
    record(c, ms, instructions);
}

int finish(int status, s64 end_ms) {
    // Every end of a run passes here: the stimulus lines it never read are named once.
    const std::string unread = drive_script::unread_lines();
    if (!unread.empty()) std::fprintf(stderr, "mirt_emulator: %s\n", unread.c_str());
    drive_script::clear();
    if (!rec.any) return status;
    rec.any = false; // a second end (a signal while finishing) writes nothing twice
    int result = status;
    auto commit = [&](std::unique_ptr<host::atomic_file>& file) {
        if (!file) return false;
        std::string problem;
        const bool written = file->commit(problem);
        if (!written) {
            std::printf("ERROR: the recording %s could not be written (%s)\n",
                        file->target().c_str(), problem.c_str());
            result = WRITE_FAILED_STATUS;
        }
        file.reset();
        return written;
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
    if (rec.gtkw && rec.vcd) write_gtkw(rec.gtkw->stream(), end_ms);
    const bool dump_written = commit(rec.vcd);
    commit(rec.csv);
    commit(rec.svg);
    commit(rec.log);
    if (dump_written)
        commit(rec.gtkw);
    else
        rec.gtkw.reset(); // no dump to show: the save file stays unwritten with it
    return result;
}

} // namespace drive_record
