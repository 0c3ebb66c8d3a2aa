// mirt_check [-v] [-map FILE] file.prg: reports what the VM will refuse and where it computes
// unlike Java, per class and method. Exit status 0 without errors, 1 with errors, 2 for a file that
// is not a package (or a command line that names none).
#include <cstdio>
#include <cstring>

#include <string>
#include <vector>

#include "check.h"
#include "command_line.h"
#include "host_files.h"
#include "mirt_image.h"

namespace {

constexpr int NOT_A_PACKAGE_STATUS = 2;
constexpr int OUTPUT_FAILURE_STATUS = 1;

constexpr const char* PROGRAM = "mirt_check";

void print_usage() { std::printf("Usage:\n\n\tmirt_check [-v] [-map FILE] input.prg\n"); }

struct check_options {
    bool verbose = false;
    const char* map = nullptr;
};

// Every option of the checker, once.
host::option_table option_rows(check_options& o) {
    return {
        {"-v", nullptr,
         "also list every method's code, as javap -c does, marking what main cannot reach",
         &o.verbose},
        {"-map", "FILE", "the linker's map of the package: each finding names its source line",
         host::text_value{&o.map, "the linker's map file"}},
    };
}

int check(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (host::is_help_request(argv[i])) {
            check_options unused;
            print_usage();
            std::printf("\nOptions, before the package:\n%s",
                        host::option_help(option_rows(unused)).c_str());
            return 0;
        }
    }
    // [-v] [-map FILE] input.prg, options in any order before the package.
    check_options o;
    const host::option_table options = option_rows(o);
    std::vector<bool> seen(options.size());
    std::string reason = argc < 2 ? "no package given" : "";
    for (int i = 1; reason.empty() && i < argc - 1; ++i) {
        if (!host::read_option(options, seen, argv, i, argc - 1, reason)) {
            if (argv[i][0] == '-') std::printf("unknown option: %s\n", argv[i]);
            if (argv[i][0] != '-') reason = host::misplaced_argument(argc, argv, i);
        }
    }
    if (reason.empty() && argv[argc - 1][0] == '-') {
        std::printf("unknown option: %s\n", argv[argc - 1]);
        reason = std::string("the last argument must be the package, not ") + argv[argc - 1];
    }
    if (!reason.empty()) {
        print_usage();
        host::report_usage_error(PROGRAM, reason);
        return NOT_A_PACKAGE_STATUS;
    }
    const char* map_path = o.map;
    const bool verbose = o.verbose;
    const char* path = argv[argc - 1];
    // Like the emulator's loader: at most one byte more than the largest package is read.
    host::read_result file = host::read_regular_file(path, MAX_PACKAGE_SIZE);
    if (file.too_large) {
        const auto what = host::identity_of(path);
        std::printf("%s: %llu bytes: not a package, which holds at most %u bytes\n", path,
                    what ? static_cast<unsigned long long>(what->size) : 0ull, MAX_PACKAGE_SIZE);
        host::report_file_problem(PROGRAM, path, "too large for a package");
        return NOT_A_PACKAGE_STATUS;
    }
    if (!file.ok) {
        std::printf("%s: cannot be read (%s)\n", path, file.problem.c_str());
        host::report_file_problem(PROGRAM, path, file.problem);
        return NOT_A_PACKAGE_STATUS;
    }
    mapfile::package_map map;
    if (map_path) {
        std::string problem;
        if (!mapfile::load_map_for(map_path, file.bytes, map, problem)) {
            std::printf("%s\n", problem.c_str());
            return NOT_A_PACKAGE_STATUS;
        }
    }
    check_report report = check_package(file.bytes, verbose, map_path ? &map : nullptr);
    std::printf("%s", report.text.c_str());
    return check_exit_status(report);
}

} // namespace

int main(int argc, char** argv) {
    return host::run_program(PROGRAM, check, argc, argv, NOT_A_PACKAGE_STATUS,
                             OUTPUT_FAILURE_STATUS);
}
