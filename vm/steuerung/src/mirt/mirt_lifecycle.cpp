// The VM's lifecycle: a host loads a package (set_mem), initialises and starts the VM, runs
// it whole or step by step, and frees or resets it.
#include <algorithm>
#include <cstdio>
#include <iterator>

#include "mirt.h"
#include "mirt_core.h"
#include "mirt_error.h"
#include "mirt_stack.h"

using namespace mirt_core;

namespace {

package_directory package_dir{&loaded};

// Also reached from the unchecked body without registers::save (a constant read from
// malformed bytes): its kept lines go out before the message.
[[noreturn]] void image_fault(image_problem problem, s64 detail1, s64 detail2) {
    write_out_pending_trace();
    fault(static_cast<vm_fault>(problem), detail1, detail2);
}

// A file shorter than a magic: what the load buffer holds there, the file's bytes, the
// end-of-file byte 0xFF and zeros. Never a valid magic, and nothing is read beyond the file.
u32 short_file_magic() {
    u32 magic = 0;
    for (u32 i = 0; i < loaded.size(); ++i) magic |= static_cast<u32>(loaded.u8_at(i)) << 8 * i;
    return magic | 0xFFu << 8 * loaded.size();
}

} // namespace

// --- lifecycle -------------------------------------------------------------------------------

void set_mem(u8* in, u32 size, bool debug) {
    static_mem = in;
    loaded = package_bytes(in, size, image_fault);
    clear_constant_cache();
    clear_kept_traces();
    is_debug = debug;
}

void vm_init() {
    trace_line("initializing vm\n");
    if (mirt_is_running) {
        mirt_init_pending = true;
        return;
    }
    mirt_init_pending = false;
    mirt_is_running = false;
    clear_kept_traces(); // the package and the start class may be others now
    clear_stack();
    clear_frame();
    pc = nullptr;
    cf = class_image{&loaded, 0};
    u32 magic = loaded.size() >= 4 ? cf.magic() : short_file_magic();
    trace_line("magic: %04x\n", magic);
    if (magic != CLASS_IMAGE_MAGIC && magic != PACKAGE_MAGIC) error(ERROR_BAD_MAGIC);
    if (magic == PACKAGE_MAGIC) {
        package = &package_dir;
        cf.base = package->first().offset;
    }
    last_cf = cf;
}

char vm_start() {
    locals = nullptr;
    max_locals = 0;
    if (mirt_is_running) {
        mirt_start_pending = true;
        return '+';
    }
    mirt_start_pending = false;
    vm_init();
    if (!loaded.contains(cf.base, 4) || cf.magic() != CLASS_IMAGE_MAGIC) return '-';
    this_class = cf.this_class();
    const u16 count = cf.methods_count();
    u16 main_index = 0;
    bool found = false;
    for (u16 i = 0; i < count; ++i) {
        u32 record = cf.method(i);
        if (cf.method_field(record, mirt_method_info::e_method_id) == JAVA_MAIN_METHOD) {
            image_text name = cf.method_name(record);
            trace_line("\tmain gefunden: (%d) %.*s\n", i, text_length(name), text_chars(name));
            main_index = i;
            found = true;
            break;
        }
    }
    if (!found) error(ERROR_NO_MAIN);
    instructions_executed = 0;
    restart_countdown();
    set_current_frame(main_index);
    function_counter = 1;
    mirt_is_running = true;
    return '+';
}

char vm_run() {
    char started = vm_start();
    if (started != '+') return started;
    while (mirt_is_running) {
        if (function_counter != 0 && !mirt_init_pending && !mirt_start_pending)
            run_to_end_of_main();
        mirt_step();
    }
    return '+';
}

void mirt_step() {
    if (mirt_is_running) {
        if (function_counter != 0) {
            if (pc >= code_end) fault(FAULT_PAST_CODE_END, static_cast<int>(code_end - code_begin));
            execute_instruction(*pc);
            if (inc_pc) ++pc;
        } else {
            mirt_is_running = false;
        }
    }
    if (mirt_init_pending) {
        mirt_is_running = false;
        vm_init();
    }
    if (mirt_start_pending) {
        mirt_is_running = false;
        vm_run();
    }
}

char vm_stop() {
    if (!mirt_is_running) return '-';
    mirt_is_running = false;
    return '+';
}

void free_vm() {
    delete[] static_mem;
    static_mem = nullptr;
}

void vm_reset() {
    free_vm();
    clear_constant_cache();
    clear_kept_traces();
    reset_state();
}

void set_stop_handler(stop_handler handler) { on_stop = handler; }
