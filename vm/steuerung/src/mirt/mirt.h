// The VM core: one virtual machine per process, its state in module-level variables, driven
// by a host through set_mem / vm_init / vm_run (or vm_start and mirt_step) / free_vm.
#pragma once

#include <csignal>
#include <optional>

#include "mirt_image.h"
#include "mirt_stack.h"
#include "mirt_types.h"

// The loaded buffer and the bounds-checked view every image read goes through.
// Hazard: `cf`, `last_cf`, `pc`, the code range and every saved frame point into this
// buffer; none of them may be used after free_vm.
extern u8* static_mem;
extern package_bytes loaded;
extern package_directory* package; // null when a bare class image is loaded

extern class_image cf;      // image whose code is running
extern class_image last_cf; // image of the most recently activated method
extern int this_class;      // this_class of the image main was found in

extern const u8* pc;         // byte being executed
extern const u8* code_begin; // code of the running method: [code_begin, code_end)
extern const u8* code_end;
extern bool inc_pc; // after a step: pc is on its last byte and is still to advance
extern u16 function_counter;
extern bool is_debug;
extern bool mirt_is_running;
extern bool mirt_init_pending;
extern bool mirt_start_pending;
extern bool wide_opcode;

extern activation current_frame; // the running method's
extern variable local_var[REGISTER_LOCALS];
extern variable local_var_pool[LOCAL_POOL_ENTRIES];
extern variable* locals; // the running method's slice of local_var_pool, null if it has none
extern u16 max_locals;

// Run bounds and stop requests. A run counts the instructions it completes; it stops when
// the count reaches `instruction_limit`, or, within MIRT_CHECK_INTERVAL instructions (at once
// after a drive function returns), when a host has set `stop_request` (a signal handler or
// a drive function may). Stopping calls the host's stop handler, which does not return: it
// ends the process or throws. The count and the limit are set anew by each start.
constexpr u64 NO_INSTRUCTION_LIMIT = ~u64{0};
constexpr u64 MIRT_CHECK_INTERVAL = 1u << 16;
extern u64 instructions_executed;
extern u64 instruction_limit;
extern volatile std::sig_atomic_t stop_request; // 0: none; a signal number, or a host's code
enum stop_reason { STOP_AT_LIMIT, STOP_REQUESTED };
using stop_handler = void (*)(stop_reason reason);
void set_stop_handler(stop_handler handler);

// Quiet runs print no start-up lines and no call traces: only what the program does (the
// drive's lines), warnings and errors.
extern bool quiet;
// Trace lines the fast path writes again as they were kept go out in blocks of many;
// false writes each at once, for a terminal where a user watches them come. The bytes and
// their order are the same either way.
extern bool batch_trace_output;

// Methods whose proof holds run without the checks every instruction makes otherwise, with
// the same results; tests and fuzzing compare both ways with false here. vm_reset sets it.
extern bool verified_fast_path;

// Lifecycle. set_mem takes ownership of `in` (allocated with new[]); `size` is the number
// of bytes that belong to the package.
void set_mem(u8* in, u32 size, bool debug);
void vm_init();
char vm_run();
// vm_run without the loop: initialise, find and activate main. '+' when main is running
// (or the start was deferred), '-' when the image to run is not a class image.
char vm_start();
void mirt_step();
char vm_stop();
void free_vm();
// free_vm, then every piece of VM state as at process start: for hosts that run one
// package after another in one process (tests, fuzzing).
void vm_reset();

// Directory entry whose whole name begins `name`, in directory order (find_class_entry,
// traced); none without package.
std::optional<directory_entry> get_class_info(image_text name);

int get_method_id_by_reference(int ref, bool external);
bool set_current_frame(u16 method_ref);
void restore_frame(const frame_info& saved);
void update_current_frame();
void restore_current_frame(const frame_info& saved);
void run_native_function(u16 method_ref);
void execute_instruction(int instruction);
