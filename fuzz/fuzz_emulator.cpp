// libFuzzer target: the emulator loading and running a package, bounded in steps.
#include "fuzz_inputs.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 1; // the traces are not the point
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    fuzz::run_package_input(data, size);
    return 0;
}
