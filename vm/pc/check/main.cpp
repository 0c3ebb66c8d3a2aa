// mirt_check [-v] file.prg: reports what the VM will refuse and where it computes unlike
// Java, per class and method. Exit status 0 without errors, 1 with errors, 2 for a file
// that is not a package.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "check.h"

int main(int argc, char** argv) {
    bool verbose = argc == 3 && std::strcmp(argv[1], "-v") == 0;
    if (argc != 2 && !verbose) {
        std::printf("Usage:\n\n\tmirt_check [-v] input.prg\n");
        return 2;
    }
    const char* path = argv[argc - 1];
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::printf("%s: cannot be read\n", path);
        return 2;
    }
    std::vector<u8> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > 4096) {
        std::printf("%s: %zu bytes: not a package, which holds at most 4096 bytes\n", path,
                    bytes.size());
        return 2;
    }
    check_report report = check_package(bytes, verbose);
    std::printf("%s", report.text.c_str());
    return check_exit_status(report);
}
