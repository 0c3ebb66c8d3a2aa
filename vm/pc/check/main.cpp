// mirt_check [-v] [-map FILE] [-drive FILE] file.prg: reports what the VM will refuse and where it computes
// unlike Java, per class and method. Exit status 0 without errors, 1 with errors, 2 for a file that
// is not a package (or a command line that names none).
#include <cstdio>
#include <cstring>

#include "check.h"
#include "drive_description.h"
#include "host_files.h"
#include "mirt_image.h"

namespace {

constexpr int NOT_A_PACKAGE_STATUS = 2;
constexpr int OUTPUT_FAILURE_STATUS = 1;

void print_usage() {
    std::printf("Usage:\n\n\tmirt_check [-v] [-map FILE] [-drive FILE] input.prg\n");
}

int check(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            print_usage();
            return 0;
        }
    }
    // [-v] [-map FILE] input.prg, options in any order before the package.
    bool verbose = false;
    const char* map_path = nullptr;
    const char* drive_path = nullptr;
    bool valid = argc >= 2;
    for (int i = 1; valid && i < argc - 1; ++i) {
        if (std::strcmp(argv[i], "-v") == 0 && !verbose) {
            verbose = true;
        } else if (std::strcmp(argv[i], "-map") == 0 && !map_path && i + 1 < argc - 1) {
            map_path = argv[++i];
        } else if (std::strcmp(argv[i], "-drive") == 0 && !drive_path && i + 1 < argc - 1) {
            drive_path = argv[++i];
        } else {
            if (argv[i][0] == '-') std::printf("unknown option: %s\n", argv[i]);
            valid = false;
        }
    }
    if (valid && argv[argc - 1][0] == '-') {
        std::printf("unknown option: %s\n", argv[argc - 1]);
        valid = false;
    }
    if (!valid) {
        print_usage();
        return NOT_A_PACKAGE_STATUS;
    }
    const char* path = argv[argc - 1];
    // Like the emulator's loader: at most one byte more than the largest package is read.
    host::read_result file = host::read_regular_file(path, MAX_PACKAGE_SIZE);
    if (file.too_large) {
        const auto what = host::identity_of(path);
        std::printf("%s: %llu bytes: not a package, which holds at most %u bytes\n", path,
                    what ? static_cast<unsigned long long>(what->size) : 0ull, MAX_PACKAGE_SIZE);
        return NOT_A_PACKAGE_STATUS;
    }
    if (!file.ok) {
        std::printf("%s: cannot be read (%s)\n", path, file.problem.c_str());
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
    if (drive_path) { // the run's axis model: its description must be one
        drive::description described;
        std::string problem;
        if (!drive::read_description(drive_path, described, problem)) {
            std::printf("%s\n", problem.c_str());
            return NOT_A_PACKAGE_STATUS;
        }
    }
    check_report report =
        check_package(file.bytes, verbose, map_path ? &map : nullptr, drive_path != nullptr);
    std::printf("%s", report.text.c_str());
    return check_exit_status(report);
}

} // namespace

int main(int argc, char** argv) {
    return host::run_program("mirt_check", check, argc, argv, NOT_A_PACKAGE_STATUS,
                             OUTPUT_FAILURE_STATUS);
}
