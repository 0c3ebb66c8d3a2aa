// libFuzzer target: the expect file reader (-expect), in memory.
#include "fuzz_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    fuzz::run_expect_input(data, size);
    return 0;
}
