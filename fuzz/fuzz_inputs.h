// One input of each fuzz target, shared by the fuzzers and by the replay test that runs the
// corpora and every regression input under the sanitizers.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "classloader.h"
#include "emulate.h"
#include "file_converter.h"
#include "file_writer.h"
#include "mirt.h"
#include "mirt_error.h"
#include "string_helper.h"

namespace fuzz {

struct fatal_end {};

inline void end_by_throwing(int) { throw fatal_end{}; }

// Enough for every loop a package can hold to show itself; a legitimate endless loop is cut
// here, a hang would be a loop inside one step.
constexpr int MAX_STEPS = 20000;

enum class outcome { too_large, not_a_class_image, finished, cut, fatal };

// Loads `data` as the emulator does after reading a file, then runs at most MAX_STEPS steps.
// The low bit of the size switches the instruction trace on, so the dumps are exercised too.
inline outcome run_package_input(const u8* data, size_t size) {
    if (size > MAX_PACKAGE_SIZE) return outcome::too_large; // the loader refuses these
    set_fatal_exit_handler(end_by_throwing);
    vm_reset();
    millis = 0;
    u8* buffer = new u8[size + 1];
    if (size) std::memcpy(buffer, data, size);
    buffer[size] = 0xFF; // the end-of-file byte the loader keeps
    set_mem(buffer, static_cast<u32>(size), size & 1);
    outcome result = outcome::not_a_class_image;
    try {
        vm_init();
        if (vm_start() == '+') {
            for (int step = 0; step < MAX_STEPS && mirt_is_running; ++step) mirt_step();
            result = mirt_is_running ? outcome::cut : outcome::finished;
        }
    } catch (const fatal_end&) {
        result = outcome::fatal;
    }
    vm_reset();
    return result;
}

// Reads `data` as a class file and, when it is accepted, converts it and writes its image,
// with and without the size option and tracing as the size's low bits say.
inline bool run_class_input(const u8* data, size_t size, std::FILE* sink) {
    local_var_idx = 0;
    const bool debug = size & 1, optimize_size = size & 2;
    std::unique_ptr<ClassFile> cf = read_class_bytes(std::vector<u8>(data, data + size), debug);
    if (cf) {
        convert_class_file(*cf, debug, optimize_size);
        write_tmp_file(*cf, sink, debug);
    }
    file2class_name(std::string(reinterpret_cast<const char*>(data), size));
    return cf != nullptr;
}

} // namespace fuzz
