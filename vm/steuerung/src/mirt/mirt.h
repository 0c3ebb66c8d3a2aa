// The VM core: one virtual machine per process, its state in module-level variables
// (mirt_state.h), driven by a host through set_mem / vm_init / vm_run (or vm_start and
// mirt_step) / free_vm.
#pragma once

#include <optional>

#include "mirt_image.h"
#include "mirt_stack.h"
#include "mirt_state.h"
#include "mirt_types.h"

void set_stop_handler(stop_handler handler);

// What a host reads of the VM's state (mirt_state.h), and the configuration it sets before a
// run. Inline: a host that steps the VM asks after every step.
inline u64 vm_instructions_executed() { return instructions_executed; }
inline u64 vm_instruction_limit() { return instruction_limit; }
inline void vm_set_instruction_limit(u64 limit) { instruction_limit = limit; }
inline bool vm_quiet() { return quiet; }
inline void vm_set_quiet(bool on) { quiet = on; }
inline void vm_set_batch_trace_output(bool on) { batch_trace_output = on; }
inline void vm_set_verified_fast_path(bool on) { verified_fast_path = on; }
// The pending stop request: 0 for none, else a signal number or a host's code. Setting it
// is safe from a signal handler.
inline int vm_stop_request() { return stop_request; }
inline void vm_request_stop(int request) { stop_request = request; }

// Where the run stands.
inline bool vm_running() { return mirt_is_running; }
inline const u8* vm_pc() { return pc; }
// pc's offset in the running method's code; none while no code is running.
inline std::optional<long> vm_code_offset() {
    if (!pc || !code_begin) return std::nullopt;
    return pc - code_begin;
}
inline const activation& vm_current_frame() { return current_frame; }
inline const class_image& vm_running_image() { return cf; }
inline u16 vm_function_count() { return function_counter; }
// The saved callers, 0 the outermost; a debugger may change their register locals.
inline int vm_frame_depth() { return frame_counter; }
inline frame_info& vm_saved_frame(int index) { return frame[index]; }
// The running activation's register locals and the pool of indexed locals; a debugger may
// change them.
using register_locals = variable[REGISTER_LOCALS];
inline register_locals& vm_register_locals() { return local_var; }
inline variable& vm_pool_local(u32 index) { return local_var_pool[index]; }
inline int vm_stack_depth() { return stack_counter; }
inline const variable& vm_stack_entry(int index) { return stack[index]; }

// The loaded package: its bytes (null when none is loaded), their bounds-checked view and
// its directory (null for a bare class image).
inline const u8* vm_memory() { return static_mem; }
inline const package_bytes& vm_loaded() { return loaded; }
inline const package_directory* vm_package() { return package; }

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
// free_vm, then every piece of VM state (mirt_state.h's list) and the caches and proofs made
// from the loaded bytes as at process start: for hosts that run one package after another in
// one process (tests, fuzzing). The host's registrations (drive functions, the report of
// functions not emulated) stay.
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
