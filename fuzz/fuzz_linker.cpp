// libFuzzer target: the linker reading, converting and building the image of a class file,
// all in memory.
#include "fuzz_inputs.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 1; // the traces are not the point
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    fuzz::run_class_input(data, size);
    return 0;
}
