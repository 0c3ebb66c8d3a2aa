// One input of each fuzz target, shared by the fuzzers and by the replay test that runs the
// corpora and every regression input under the sanitizers.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
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
struct bounded_end {};

inline void end_by_throwing(int) { throw fatal_end{}; }
inline void stop_by_throwing(stop_reason) { throw bounded_end{}; }

// The run's instruction bound, as the emulator's -max-steps sets it: enough for every loop a
// package can hold to go round more than once; a legitimate endless loop is cut here, a hang
// would be a loop inside one instruction. Endless loops are most inputs' end, so this bound
// sets the campaign's speed.
constexpr u64 MAX_STEPS = 4096;

// Which inputs run with the instruction trace: one size in eight. Printing a line per
// instruction costs more than running it, and the dumps need no more inputs than that.
inline bool traced_input(size_t size) { return size % 8 == 1; }

enum class outcome { too_large, not_a_class_image, finished, cut, fatal };

// What a run leaves behind: how it ended, the counters, pc's place in the running code, the
// operand stack's entries and the register locals. A whole run and the same run made of
// single steps must leave the same.
struct end_state {
    outcome result = outcome::not_a_class_image;
    u16 stack_count = 0, frame_count = 0, functions = 0;
    long pc_offset = 0;
    u64 executed = 0;
    std::vector<u64> entries; // tag, value bytes, tag, ...

    bool operator==(const end_state&) const = default;
};

// A whole run takes the unchecked body for the methods whose proof holds; `whole_checked`
// runs every instruction through the checked one.
enum class run_mode { steps, whole, whole_checked };

// Loads `data` as the emulator does after reading a file and runs it, bounded to MAX_STEPS
// instructions: in single steps, or as one whole run (vm_run). The size chooses the
// instruction trace (traced_input), so the dumps are exercised too; its bit 1 makes the run
// quiet, as -q does.
inline end_state run_package(const u8* data, size_t size, run_mode mode) {
    end_state end;
    if (size > MAX_PACKAGE_SIZE) {
        end.result = outcome::too_large; // the loader refuses these
        return end;
    }
    set_fatal_exit_handler(end_by_throwing);
    vm_reset(); // forgets the stop handler too
    set_stop_handler(stop_by_throwing);
    verified_fast_path = mode != run_mode::whole_checked;
    millis = 0;
    instruction_limit = MAX_STEPS;
    quiet = size & 2;
    load_bytes(data, static_cast<u32>(size), traced_input(size));
    try {
        vm_init();
        if (mode != run_mode::steps) {
            end.result = vm_run() == '+' ? outcome::finished : outcome::not_a_class_image;
        } else if (vm_start() == '+') {
            while (mirt_is_running) mirt_step(); // the bound ends an endless run
            end.result = outcome::finished;
        }
    } catch (const fatal_end&) {
        end.result = outcome::fatal;
    } catch (const bounded_end&) {
        end.result = outcome::cut;
    }
    end.stack_count = stack_counter;
    end.frame_count = frame_counter;
    end.functions = function_counter;
    end.pc_offset = pc && code_begin ? pc - code_begin : -1;
    end.executed = instructions_executed;
    for (int i = 0; i < stack_counter && i < STACK_ENTRIES; ++i)
        end.entries.insert(end.entries.end(), {stack[i].type, stack[i].value.U64});
    for (const variable& local : local_var)
        end.entries.insert(end.entries.end(), {local.type, local.value.U64});
    vm_reset();
    return end;
}

// The fuzz target's input: single steps, then the same package as one whole run, with and
// without the unchecked body, which must all end alike.
inline outcome run_package_input(const u8* data, size_t size) {
    const end_state stepped = run_package(data, size, run_mode::steps);
    if (stepped.result != outcome::too_large && stepped.result != outcome::not_a_class_image) {
        if (!(run_package(data, size, run_mode::whole) == stepped)) std::abort();
        if (!(run_package(data, size, run_mode::whole_checked) == stepped)) std::abort();
    }
    return stepped.result;
}

// Reads `data` as a class file and, when it is accepted, converts it and builds its image in
// memory, with and without the size option and tracing as the size's low bits say.
inline bool run_class_input(const u8* data, size_t size) {
    local_var_idx = 0;
    const bool debug = size & 1, optimize_size = size & 2;
    std::unique_ptr<ClassFile> cf = read_class_bytes(std::vector<u8>(data, data + size), debug);
    if (cf) {
        convert_class_file(*cf, debug, optimize_size);
        build_class_image(*cf, debug);
    }
    file2class_name(std::string(reinterpret_cast<const char*>(data), size));
    return cf != nullptr;
}

} // namespace fuzz
