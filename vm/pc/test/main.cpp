// mirt_test [options] FILE.yaml ...: runs the cases of scenario files, each as its own
// emulator process, and reports what passed: a line per case for a person, JUnit XML and
// TAP for CI systems, and the source lines the cases exercised as LCOV.
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "host_files.h"
#include "lcov.h"
#include "run.h"
#include "scenario.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr int ALL_PASSED = 0, SOME_FAILED = 1, UNUSABLE = 2;

void usage() {
    std::printf(
        "Usage: mirt_test [options] FILE.yaml ...\n\n"
        "Options:\n"
        "\t-j N              run N cases at a time (default: the number of cores)\n"
        "\t--filter PATTERN  only the cases whose name matches (a shell pattern; a plain word\n"
        "\t                  matches anywhere in the name)\n"
        "\t--shard K/N       only the K-th of N slices of the cases (for CI matrices)\n"
        "\t--junit FILE      write a JUnit XML report\n"
        "\t--tap             print TAP version 13 instead of the lines for a person\n"
        "\t--coverage FILE   write the source lines the cases executed as LCOV\n"
        "\t--recordings DIR  where the VCD and SVG of failing cases go (default: beside the\n"
        "\t                  JUnit report, else the current directory)\n"
        "\t--jdwp [HOST:]PORT\n"
        "\t                  run the one case --filter selects under a debugger, as\n"
        "\t                  mirt_emulator -jdwp does: it waits for jdb or an IDE to attach\n");
}

struct settings {
    unsigned jobs = 0;
    std::string filter;
    unsigned shard = 1, shards = 1;
    std::string junit, coverage, recordings;
    std::string jdwp; // the address the one debugged case listens at
    bool tap = false;
    std::vector<std::string> files;
};

bool parse_unsigned(const std::string& text, unsigned& value) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    value = static_cast<unsigned>(std::stoul(text));
    return true;
}

bool parse_settings(int argc, char** argv, settings& s) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "-j" && has_value) {
            if (!parse_unsigned(argv[++i], s.jobs) || s.jobs == 0) return false;
        } else if (a == "--filter" && has_value) {
            s.filter = argv[++i];
        } else if (a == "--shard" && has_value) {
            const std::string v = argv[++i];
            const size_t slash = v.find('/');
            if (slash == v.npos || !parse_unsigned(v.substr(0, slash), s.shard) ||
                !parse_unsigned(v.substr(slash + 1), s.shards) || s.shard < 1 || s.shard > s.shards)
                return false;
        } else if (a == "--junit" && has_value) {
            s.junit = argv[++i];
        } else if (a == "--coverage" && has_value) {
            s.coverage = argv[++i];
        } else if (a == "--recordings" && has_value) {
            s.recordings = argv[++i];
        } else if (a == "--jdwp" && has_value) {
            s.jdwp = argv[++i];
        } else if (a == "--tap") {
            s.tap = true;
        } else if (a.starts_with("-")) {
            return false;
        } else {
            s.files.push_back(a);
        }
    }
    if (!s.jobs) s.jobs = std::max(1u, std::thread::hardware_concurrency());
    return !s.files.empty();
}

// A child process: `argv` run in `dir` with its standard output (and error, unless
// `own_errors` leaves it to the child) into `out`.
pid_t start(const std::vector<std::string>& argv, const std::string& dir, const std::string& out,
            bool own_errors = false) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || chdir(dir.c_str()) != 0) _exit(127);
    dup2(fd, STDOUT_FILENO);
    if (!own_errors) dup2(fd, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
}

int finish(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string read_text(const std::string& path) {
    const host::read_result r = host::read_regular_file(path.c_str(), 256u << 20);
    return r.ok ? std::string(r.bytes.begin(), r.bytes.end()) : std::string();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool write_text(const std::string& path, const std::string& text, std::string& problem) {
    host::atomic_file file(path);
    if (!file.open(problem)) return false;
    std::fwrite(text.data(), 1, text.size(), file.stream());
    return file.commit(problem);
}

// A program compiled and linked once per run of mirt_test, whichever files name it.
struct program {
    std::string dir, package, map;
    int javac_status = -1;
    bool linked = false;
};

struct unusable_program : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class programs {
  public:
    // `debugged`: the maps carry the local variables a debugger shows.
    programs(std::string tools, std::string work, bool debugged)
        : tools_(std::move(tools)), work_(std::move(work)), debugged_(debugged) {}

    // Runs javac for every distinct program of `files`, up to `jobs` at a time: most of a
    // suite's time is javac's.
    void compile(const std::vector<const scenario::file*>& files, unsigned jobs) {
        std::map<pid_t, std::string> running;
        auto wait_one = [&] {
            int status = 0;
            const pid_t pid = waitpid(-1, &status, 0);
            if (pid < 0 && errno == EINTR) return;
            if (pid < 0) {
                running.clear();
                return;
            }
            auto done = running.find(pid);
            if (done == running.end()) return;
            built_[done->second].javac_status =
                WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            running.erase(done);
        };
        for (const scenario::file* f : files) {
            const std::string k = key(*f);
            if (built_.count(k)) continue;
            program& p = built_[k];
            p.dir = work_ + "/program" + std::to_string(built_.size());
            fs::create_directories(p.dir);
            std::vector<std::string> javac = {"javac", "--release", "17", "-g", "-d", p.dir};
            javac.insert(javac.end(), f->program.begin(), f->program.end());
            while (running.size() >= jobs) wait_one();
            running[start(javac, ".", p.dir + "/build.out")] = k;
        }
        while (!running.empty()) wait_one();
    }

    // The program of `f`, compiled and linked; throws `unusable_program`.
    const program& get(const scenario::file& f) {
        program& p = built_[key(f)];
        if (p.linked) return p;
        const std::string log = p.dir + "/build.out";
        auto refuse = [&](const std::string& step) {
            throw unusable_program(scenario::place(f, f.program_line, step) + "\n" +
                                   read_text(log));
        };
        if (p.dir.empty() || p.javac_status != 0) refuse("the program cannot be compiled");
        // Every class javac made, the first source's class first.
        const std::string start_class = fs::path(f.program.front()).stem().string();
        std::vector<std::string> classes;
        for (const auto& entry : fs::directory_iterator(p.dir))
            if (entry.path().extension() == ".class" && entry.path().stem() != start_class)
                classes.push_back(entry.path().filename().string());
        std::sort(classes.begin(), classes.end());
        if (!fs::exists(p.dir + "/" + start_class + ".class"))
            refuse("the first source makes no class " + start_class);
        classes.insert(classes.begin(), start_class + ".class");
        std::vector<std::string> link = {tools_ + "/mirt_linker", "-map", start_class + ".map"};
        if (debugged_) link.push_back("-map-locals");
        link.insert(link.end(), classes.begin(), classes.end());
        link.push_back(start_class + ".prg");
        if (finish(start(link, p.dir, log)) != 0) refuse("the program cannot be linked");
        p.package = p.dir + "/" + start_class + ".prg";
        p.map = p.dir + "/" + start_class + ".map";
        p.linked = true;
        return p;
    }

  private:
    // The sources' names and contents: what makes two programs the same.
    static std::string key(const scenario::file& f) {
        std::string k;
        for (const std::string& source : f.program)
            k += fs::path(source).filename().string() + '\0' + read_text(source) + '\0';
        return k;
    }

    std::string tools_, work_;
    bool debugged_;
    std::map<std::string, program> built_;
};

// One case to run, and what came of it.
struct job {
    const scenario::file* file = nullptr;
    const scenario::test_case* test = nullptr;
    std::string dir;
    std::vector<std::string> argv;
    pid_t pid = 0;
    clock_type::time_point started;
    double wall_s = 0;
    suite::run result;
    std::vector<suite::failure> failures;
    bool unusable = false;
    std::string printed; // the emulator's output
};

std::string xml(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\n' || c == '\t') out += c;
        }
    }
    return out;
}

// A quoted YAML scalar for TAP's diagnostics.
std::string yaml_quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string safe_name(const std::string& name) {
    std::string out;
    for (const char c : name) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return out;
}

// "assertion: at 1000 ms: what was seen (Source.java:12)"
std::string failure_line(const suite::failure& f) {
    std::string line = f.assertion + ": at " + std::to_string(f.ms) + " ms: " + f.message;
    if (!f.site.empty()) line += " (" + f.site + ")";
    return line;
}

std::string junit_report(const std::vector<job>& jobs, double total_s) {
    std::ostringstream out;
    char number[64];
    auto seconds = [&](double s) {
        std::snprintf(number, sizeof number, "%.3f", s);
        return std::string(number);
    };
    size_t failed = 0;
    for (const job& j : jobs) failed += !j.failures.empty();
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out << "<testsuites name=\"mirt_test\" tests=\"" << jobs.size() << "\" failures=\"" << failed
        << "\" errors=\"0\" time=\"" << seconds(total_s) << "\">\n";
    for (size_t first = 0; first < jobs.size();) {
        size_t last = first;
        size_t suite_failed = 0;
        double suite_s = 0;
        for (; last < jobs.size() && jobs[last].file == jobs[first].file; ++last) {
            suite_failed += !jobs[last].failures.empty();
            suite_s += jobs[last].wall_s;
        }
        const scenario::file& f = *jobs[first].file;
        out << "  <testsuite name=\"" << xml(f.name) << "\" tests=\"" << last - first
            << "\" failures=\"" << suite_failed << "\" errors=\"0\" skipped=\"0\" time=\""
            << seconds(suite_s) << "\" file=\"" << xml(f.path) << "\">\n";
        for (size_t k = first; k < last; ++k) {
            const job& j = jobs[k];
            out << "    <testcase classname=\"" << xml(f.name) << "\" name=\"" << xml(j.test->name)
                << "\" time=\"" << seconds(j.wall_s) << "\" file=\"" << xml(f.path) << "\" line=\""
                << j.test->line << "\">\n";
            if (!j.failures.empty()) {
                std::string text;
                for (const suite::failure& fl : j.failures) text += failure_line(fl) + "\n";
                out << "      <failure message=\"" << xml(failure_line(j.failures.front()))
                    << "\" type=\"assertion\">" << xml(text) << "</failure>\n";
            }
            std::string drive;
            for (const std::string& line : j.result.output)
                if (line.starts_with("DRIVE: ")) drive += line + "\n";
            out << "      <system-out>" << xml(drive) << "</system-out>\n";
            out << "    </testcase>\n";
        }
        out << "  </testsuite>\n";
        first = last;
    }
    out << "</testsuites>\n";
    return out.str();
}

std::string tap_case(const job& j, size_t number) {
    std::ostringstream out;
    out << (j.failures.empty() ? "ok " : "not ok ") << number << " - " << j.file->name << ": "
        << j.test->name << "\n";
    if (j.failures.empty()) return out.str();
    out << "  ---\n";
    out << "  message: " << yaml_quoted(failure_line(j.failures.front())) << "\n";
    out << "  severity: fail\n";
    out << "  failures:\n";
    for (const suite::failure& f : j.failures) {
        out << "    - assertion: " << yaml_quoted(f.assertion) << "\n";
        out << "      message: " << yaml_quoted(f.message) << "\n";
        out << "      at_ms: " << f.ms << "\n";
        if (!f.value.empty()) out << "      seen: " << yaml_quoted(f.value) << "\n";
        if (!f.site.empty()) out << "      source: " << yaml_quoted(f.site) << "\n";
    }
    out << "  ...\n";
    return out.str();
}

std::string tools_dir(const char* argv0) {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) return self.parent_path().string();
    return fs::absolute(argv0).parent_path().string();
}

int test(int argc, char** argv) {
    settings s;
    if (!parse_settings(argc, argv, s)) {
        usage();
        return UNUSABLE;
    }
    for (const std::string& report : {s.junit, s.coverage}) {
        if (!report.empty() && !fs::is_directory(fs::absolute(report).parent_path())) {
            std::printf("mirt_test: no directory for %s\n", report.c_str());
            return UNUSABLE;
        }
    }
    const auto begun = clock_type::now();
    std::vector<scenario::file> files;
    try {
        for (const std::string& path : s.files) files.push_back(scenario::load(path));
    } catch (const scenario::unusable& e) {
        std::printf("%s\n", e.what());
        return UNUSABLE;
    }
    std::string work_template = fs::temp_directory_path().string() + "/mirt_test.XXXXXX";
    if (!mkdtemp(work_template.data())) {
        std::printf("mirt_test: no room for a working directory\n");
        return UNUSABLE;
    }
    const std::string work = work_template;
    struct remover {
        std::string dir;
        ~remover() {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } cleanup{work};
    const std::string tools = tools_dir(argv[0]);
    programs built(tools, work, !s.jdwp.empty());

    // The cases to run: the filter first, then this shard's slice of what is left.
    std::vector<job> jobs;
    size_t index = 0;
    for (const scenario::file& f : files) {
        for (const scenario::test_case& c : f.cases) {
            if (!s.filter.empty()) {
                const bool pattern = s.filter.find_first_of("*?[") != std::string::npos;
                const std::string p = pattern ? s.filter : "*" + s.filter + "*";
                if (fnmatch(p.c_str(), c.name.c_str(), 0) != 0) continue;
            }
            if (index++ % s.shards != s.shard - 1) continue;
            job j;
            j.file = &f;
            j.test = &c;
            jobs.push_back(std::move(j));
        }
    }
    // A debugger attaches to one emulator: the user names the case.
    if (!s.jdwp.empty() && jobs.size() != 1) {
        std::printf("mirt_test: --jdwp debugs one case; %s\n",
                    s.filter.empty() ? "select it with --filter"
                                     : ("--filter " + s.filter + " selects " +
                                        std::to_string(jobs.size()) + " cases")
                                           .c_str());
        return UNUSABLE;
    }
    std::vector<const scenario::file*> needed;
    for (const job& j : jobs) needed.push_back(j.file);
    built.compile(needed, s.jobs);
    try {
        for (size_t k = 0; k < jobs.size(); ++k) {
            job& j = jobs[k];
            const program& p = built.get(*j.file);
            j.dir = work + "/case" + std::to_string(k);
            fs::create_directories(j.dir);
            j.argv = {tools + "/mirt_emulator", "-q", "-map", p.map};
            if (!s.jdwp.empty()) j.argv.insert(j.argv.end(), {"-jdwp", s.jdwp});
            j.argv.insert(j.argv.end(), j.file->options.begin(), j.file->options.end());
            if (!j.file->drive.empty()) j.argv.insert(j.argv.end(), {"-drive", j.file->drive});
            if (!j.test->max_ms.empty()) j.argv.insert(j.argv.end(), {"-max-ms", j.test->max_ms});
            if (!j.test->max_steps.empty())
                j.argv.insert(j.argv.end(), {"-max-steps", j.test->max_steps});
            std::string inputs = j.test->inputs_file;
            if (!j.test->inputs.empty()) {
                inputs = j.dir + "/inputs";
                std::string problem;
                if (!write_text(inputs, j.test->inputs, problem)) {
                    std::printf("mirt_test: %s: %s\n", inputs.c_str(), problem.c_str());
                    return UNUSABLE;
                }
            }
            if (!inputs.empty()) j.argv.insert(j.argv.end(), {"-inputs", inputs});
            j.argv.insert(j.argv.end(),
                          {"-signals", "signals", "-vcd", "run.vcd", "-svg", "run.svg"});
            if (!s.coverage.empty()) j.argv.insert(j.argv.end(), {"-coverage", "run.info"});
            j.argv.push_back(p.package);
        }
    } catch (const unusable_program& e) {
        std::printf("%s", e.what());
        return UNUSABLE;
    }

    const std::string recordings = !s.recordings.empty() ? s.recordings
                                   : !s.junit.empty() ? fs::absolute(s.junit).parent_path().string()
                                                      : std::string(".");
    size_t passed = 0, failed = 0, reported = 0, next = 0, running = 0;
    if (s.tap) std::printf("TAP version 13\n1..%zu\n", jobs.size());
    // Reports go out in the order of the cases, each as soon as it and those before are done.
    std::vector<bool> done(jobs.size(), false);
    auto report = [&]() {
        for (; reported < jobs.size() && done[reported]; ++reported) {
            job& j = jobs[reported];
            if (j.failures.empty()) {
                ++passed;
            } else {
                ++failed;
                const std::string base =
                    recordings + "/" + safe_name(j.file->name) + "." + safe_name(j.test->name);
                for (const char* kind : {"vcd", "svg"}) {
                    std::string problem;
                    const std::string kept = base + "." + kind;
                    if (!write_text(kept, read_text(j.dir + "/run." + kind), problem))
                        std::fprintf(stderr, "mirt_test: %s: %s\n", kept.c_str(), problem.c_str());
                }
            }
            if (s.tap) {
                std::printf("%s", tap_case(j, reported + 1).c_str());
                continue;
            }
            std::printf("%s  %s  %lld ms  %.2f s\n", j.failures.empty() ? "PASS" : "FAIL",
                        j.test->name.c_str(), static_cast<long long>(j.result.end_ms), j.wall_s);
            for (const suite::failure& f : j.failures)
                std::printf("      %s\n", failure_line(f).c_str());
            if (!j.failures.empty())
                std::printf(
                    "      recordings: %s.vcd %s.svg\n",
                    (recordings + "/" + safe_name(j.file->name) + "." + safe_name(j.test->name))
                        .c_str(),
                    (recordings + "/" + safe_name(j.file->name) + "." + safe_name(j.test->name))
                        .c_str());
        }
        std::fflush(stdout);
    };
    std::map<pid_t, size_t> children;
    while (reported < jobs.size()) {
        while (running < s.jobs && next < jobs.size()) {
            job& j = jobs[next];
            j.started = clock_type::now();
            // A debugged case says where it listens on standard error, as the emulator does.
            j.pid = start(j.argv, j.dir, j.dir + "/output", !s.jdwp.empty());
            children[j.pid] = next++;
            ++running;
        }
        if (running == 0) break;
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            break;
        }
        auto found = children.find(pid);
        if (found == children.end()) continue;
        const size_t finished = found->second;
        job& j = jobs[finished];
        --running;
        j.wall_s = std::chrono::duration<double>(clock_type::now() - j.started).count();
        j.result.exit_status = WIFEXITED(status)
                                   ? WEXITSTATUS(status)
                                   : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        j.printed = read_text(j.dir + "/output");
        j.result.output = lines_of(j.printed);
        if (j.result.exit_status == 1 ||
            !suite::read_signals(read_text(j.dir + "/signals"), j.result)) {
            // The emulator refused what the scenario asks of it.
            for (const auto& child : children) {
                if (child.first == pid) continue;
                kill(child.first, SIGTERM);
                finish(child.first);
            }
            std::printf("%s\n%s",
                        scenario::place(*j.file, j.test->line,
                                        "the emulator refused case \"" + j.test->name +
                                            "\" (status " + std::to_string(j.result.exit_status) +
                                            "):")
                            .c_str(),
                        j.printed.c_str());
            return UNUSABLE;
        }
        children.erase(found);
        j.failures = suite::judge(*j.test, j.result);
        done[finished] = true;
        report();
    }
    const double total_s = std::chrono::duration<double>(clock_type::now() - begun).count();
    if (s.tap)
        std::printf("# %zu passed, %zu failed\n", passed, failed);
    else
        std::printf("%zu passed, %zu failed\n", passed, failed);
    std::string problem;
    if (!s.junit.empty() && !write_text(s.junit, junit_report(jobs, total_s), problem)) {
        std::printf("mirt_test: the report %s could not be written (%s)\n", s.junit.c_str(),
                    problem.c_str());
        return UNUSABLE;
    }
    if (!s.coverage.empty()) {
        lcov::tracefile merged;
        for (const job& j : jobs) {
            std::map<std::string, std::string> sources; // SourceFile -> the program's path
            for (const std::string& source : j.file->program)
                sources[fs::path(source).filename().string()] = fs::absolute(source).string();
            lcov::merge(merged, lcov::parse(read_text(j.dir + "/run.info")), sources);
        }
        if (!write_text(s.coverage, lcov::write(merged), problem)) {
            std::printf("mirt_test: the coverage %s could not be written (%s)\n",
                        s.coverage.c_str(), problem.c_str());
            return UNUSABLE;
        }
    }
    return failed ? SOME_FAILED : ALL_PASSED;
}

} // namespace

int main(int argc, char** argv) {
    return host::run_program("mirt_test", test, argc, argv, UNUSABLE, UNUSABLE);
}
