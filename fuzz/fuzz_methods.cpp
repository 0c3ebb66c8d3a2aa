// libFuzzer target: the emulator running packages of javac-like methods built from the input
// (method_inputs.h), compared as fuzz_emulator compares any package.
#include "method_inputs.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 1; // the traces are not the point
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    fuzz::run_method_input(data, size);
    return 0;
}
