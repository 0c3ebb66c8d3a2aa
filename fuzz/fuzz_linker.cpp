// libFuzzer target: the linker reading, converting and writing a class file.
#include "fuzz_inputs.h"

static std::FILE* sink = nullptr;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    sink = std::fopen("/dev/null", "wb");
    return sink ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    fuzz::run_class_input(data, size, sink);
    return 0;
}
