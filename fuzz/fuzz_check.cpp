// libFuzzer target: mirt_check reading and judging any bytes as a package.
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    if (size > 4096) return 0; // the program refuses these before checking
    check_package(std::vector<u8>(data, data + size), size & 1);
    return 0;
}
