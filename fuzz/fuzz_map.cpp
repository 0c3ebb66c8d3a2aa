// libFuzzer target: the map reader (-map), and the map written back, in memory.
#include "fuzz_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    fuzz::run_map_input(data, size);
    return 0;
}
