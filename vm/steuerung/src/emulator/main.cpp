// mirt_emulator [-debug] input.prg: loads a package and runs its main.
#include <cstdio>
#include <cstring>

#include "../mirt/mirt.h"
#include "../mirt/mirt_error.h"
#include "emulate.h"

namespace {
constexpr int EMULATOR_VERSION = 1;
constexpr int USAGE_STATUS = 1; // nothing ran
} // namespace

int main(int cnt, char** params) {
    std::printf("mirt emulator version %d\n", EMULATOR_VERSION);
    bool is_debug = false;
    int file_in = 1;
    if (cnt == 3 && std::strcmp(params[1], "-debug") == 0) {
        is_debug = true;
        file_in = 2;
    } else if (cnt != 2) {
        std::printf("Usage:\n\n\tmirt_emulator.exe [-debug] input.prg\n");
        return USAGE_STATUS;
    }
    load_file(params[file_in], is_debug);
    vm_init();
    if (vm_run() != '+') fault(FAULT_NOT_A_CLASS_IMAGE, mirt2_package::first_class_info);
    free_vm();
    return 0;
}
