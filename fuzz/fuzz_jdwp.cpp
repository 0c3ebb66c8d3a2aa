// libFuzzer target: the JDWP server reading any bytes as the packets a debugger sends.
#include "jdwp_inputs.h"
#include "jdwp_server.h"

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    jdwp::answer_for_test(jdwp_test_map(), std::vector<u8>(data, data + size));
    return 0;
}
