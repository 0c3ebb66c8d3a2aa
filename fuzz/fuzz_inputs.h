// One input of each fuzz target, shared by the fuzzers and by the replay test that runs the
// corpora and every regression input under the sanitizers.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "classloader.h"
#include "drive_script.h"
#include "emulate.h"
#include "file_converter.h"
#include "file_writer.h"
#include "harness.h"
#include "mirt.h"
#include "mirt_error.h"
#include "package_map.h"
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
    vm_set_verified_fast_path(mode != run_mode::whole_checked);
    millis = 0;
    vm_set_instruction_limit(MAX_STEPS);
    vm_set_quiet(size & 2);
    load_bytes(data, static_cast<u32>(size), traced_input(size));
    try {
        vm_init();
        if (mode != run_mode::steps) {
            end.result = vm_run() == '+' ? outcome::finished : outcome::not_a_class_image;
        } else if (vm_start() == '+') {
            while (vm_running()) mirt_step(); // the bound ends an endless run
            end.result = outcome::finished;
        }
    } catch (const fatal_end&) {
        end.result = outcome::fatal;
    } catch (const bounded_end&) {
        end.result = outcome::cut;
    }
    end.stack_count = vm_stack_depth();
    end.frame_count = vm_frame_depth();
    end.functions = vm_function_count();
    end.pc_offset = vm_code_offset().value_or(-1);
    end.executed = vm_instructions_executed();
    for (int i = 0; i < vm_stack_depth() && i < STACK_ENTRIES; ++i)
        end.entries.insert(end.entries.end(),
                           {vm_stack_entry(i).type, vm_stack_entry(i).value.U64});
    for (const variable& local : vm_register_locals())
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

// The texts users write or the linker writes for them, read as the emulator and checker read
// their files after loading them.
inline std::string text_of(const u8* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A stimulus file (-inputs): a script, or refused with "file:line: reason". A script answers
// every function it names on the channels near the first, at any time, and names the lines
// that were not asked for.
inline bool run_stimulus_input(const u8* data, size_t size) {
    std::string problem;
    const bool accepted = drive_script::parse("in.txt", text_of(data, size), problem);
    if (!accepted && !problem.starts_with("in.txt:")) std::abort();
    for (u16 id : drive_script::scripted_ids())
        for (s32 channel : {0, 1, 2})
            for (s64 ms : {s64{0}, s64{999}, INT64_MAX}) drive_script::value_at(id, channel, ms);
    const std::string unread = drive_script::unread_lines();
    if (!unread.empty() && !unread.starts_with("in.txt: ")) std::abort();
    drive_script::clear();
    return accepted;
}

// A map (-map): refused with a reason, or read; what is read, written as the linker writes
// it, reads back as the same map.
inline bool run_map_input(const u8* data, size_t size) {
    mapfile::package_map map;
    std::string problem;
    if (!mapfile::parse_map(text_of(data, size), map, problem)) {
        if (problem.empty()) std::abort();
        return false;
    }
    const std::string written = mapfile::write_map(map);
    mapfile::package_map again;
    if (!mapfile::parse_map(written, again, problem) || mapfile::write_map(again) != written)
        std::abort();
    for (const mapfile::class_entry& c : map.classes)
        for (const mapfile::method_entry& m : c.methods) {
            if (!mapfile::find_method(map, c.offset, m.index)) std::abort();
            mapfile::line_of(m, m.length / 2);
        }
    return true;
}

// An expect file (-expect): its lines, which joined again give back the text (a last line
// may lack its newline).
inline size_t run_expect_input(const u8* data, size_t size) {
    const std::string text = text_of(data, size);
    const std::vector<std::string> lines = split_expected_lines(text);
    std::string joined;
    for (const std::string& line : lines) joined += line + '\n';
    if (joined != text && joined != text + '\n') std::abort();
    return lines.size();
}

} // namespace fuzz
