// libFuzzer target: the stimulus file reader (-inputs), in memory.
#include "fuzz_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    fuzz::run_stimulus_input(data, size);
    return 0;
}
