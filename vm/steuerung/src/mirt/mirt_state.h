// The VM's state: one virtual machine per process, its state in module-level variables, all
// listed once below. The list declares them (here), defines them (mirt_state.cpp) and resets
// them (vm_reset), so a variable added to it cannot be missed by any of the three. Hosts read
// what they need through the functions in mirt.h.
#pragma once

#include <csignal>

#include "mirt_facts.h"
#include "mirt_image.h"
#include "mirt_types.h"

// Where an activation is: the method of which image, and pc. `pc` points into the loaded
// buffer (see mirt_image.h): neither this nor a frame may be used after the buffer is
// released.
struct activation {
    class_image cf;
    const u8* pc;
    u16 method;
};
// A saved caller: its activation and its register locals.
struct frame_info : activation {
    variable local_var[REGISTER_LOCALS];
};

// Run bounds and stop requests. A run counts the instructions it completes; it stops when
// the count reaches `instruction_limit`, or, within MIRT_CHECK_INTERVAL instructions (at once
// after a drive function returns), when a host has set `stop_request` (a signal handler or
// a drive function may). Stopping calls the host's stop handler, which does not return: it
// ends the process or throws. The count and the limit are set anew by each start.
constexpr u64 NO_INSTRUCTION_LIMIT = ~u64{0};
constexpr u64 MIRT_CHECK_INTERVAL = 1u << 16;
enum stop_reason { STOP_AT_LIMIT, STOP_REQUESTED };
using stop_handler = void (*)(stop_reason reason);

struct code_step; // mirt_proof.h

// Room for the longest fatal message with its opcode name; a longer one is cut, never overrun.
constexpr size_t FATAL_MESSAGE_BYTES = 256;

// clang-format off
// Every piece of VM state: VALUE(type, name, value at start and after vm_reset) and
// ARRAY(type, name, entries), whose entries start and are reset value-initialised.
// Hazard: `cf`, `last_cf`, `pc`, the code range and every saved frame point into the loaded
// buffer; none of them may be used after free_vm.
#define MIRT_VM_STATE(VALUE, ARRAY)                                                               \
    /* The loaded buffer and the bounds-checked view every image read goes through. */         \
    VALUE(u8*, static_mem, nullptr)                                                               \
    VALUE(package_bytes, loaded, package_bytes())                                                 \
    VALUE(package_directory*, package, nullptr) /* null when a bare class image is loaded */     \
    VALUE(class_image, cf, class_image{})       /* image whose code is running */                \
    VALUE(class_image, last_cf, class_image{})  /* image of the most recently activated method */\
    VALUE(int, this_class, 0)                   /* this_class of the image main was found in */  \
    VALUE(const u8*, pc, nullptr)               /* byte being executed */                        \
    VALUE(const u8*, code_begin, nullptr)       /* code of the running method: [begin, end) */   \
    VALUE(const u8*, code_end, nullptr)                                                           \
    VALUE(bool, inc_pc, true) /* after a step: pc is on its last byte and is still to advance */ \
    VALUE(u16, function_counter, 0)                                                               \
    VALUE(bool, is_debug, false)                                                                  \
    VALUE(bool, mirt_is_running, false)                                                           \
    VALUE(bool, mirt_init_pending, false)                                                         \
    VALUE(bool, mirt_start_pending, false)                                                        \
    VALUE(bool, wide_opcode, false)                                                               \
    VALUE(activation, current_frame, activation{}) /* the running method's */                    \
    ARRAY(variable, local_var, REGISTER_LOCALS)                                                   \
    ARRAY(variable, local_var_pool, LOCAL_POOL_ENTRIES)                                           \
    /* the running method's slice of local_var_pool, null if it has none */                      \
    VALUE(variable*, locals, nullptr)                                                             \
    VALUE(u16, max_locals, 0)                                                                     \
    /* The operand stack and the saved callers (mirt_stack.h). */                                 \
    ARRAY(variable, stack_storage, 1 + STACK_ENTRIES)                                             \
    VALUE(u16, stack_counter, 0)                                                                  \
    ARRAY(frame_info, frame, FRAME_ENTRIES)                                                       \
    VALUE(u16, frame_counter, 0)                                                                  \
    /* Run bounds (above). */                                                                     \
    VALUE(u64, instructions_executed, 0)                                                          \
    VALUE(u64, instruction_limit, NO_INSTRUCTION_LIMIT)                                           \
    /* 0: none; a signal number, or a host's code */                                              \
    VALUE(volatile std::sig_atomic_t, stop_request, 0)                                            \
    VALUE(stop_handler, on_stop, nullptr)                                                         \
    /* Instructions that may still complete before the bounds are looked at: the registers' */   \
    /* `left` while the interpreter runs. */                                                      \
    VALUE(u64, countdown, MIRT_CHECK_INTERVAL)                                                    \
    /* The unchecked body counts a straight run of code when it begins it: while it is in */     \
    /* one, the running method's steps by code offset (see proof_steps), else null. Of the */    \
    /* run pc is in, the instructions from pc's on have not completed yet. */                    \
    VALUE(const code_step*, counted_runs, nullptr)                                                \
    /* Quiet runs print no start-up lines and no call traces: only what the program does */     \
    /* (the drive's lines), warnings and errors. */                                               \
    VALUE(bool, quiet, false)                                                                     \
    /* Trace lines the fast path writes again as they were kept go out in blocks of many; */     \
    /* false writes each at once, for a terminal where a user watches them come. The bytes */    \
    /* and their order are the same either way. */                                                \
    VALUE(bool, batch_trace_output, true)                                                         \
    /* Methods whose proof holds run without the checks every instruction makes otherwise, */    \
    /* with the same results; tests and fuzzing compare both ways with false here. */             \
    VALUE(bool, verified_fast_path, true)                                                         \
    /* The last fatal message as printed, kept for a debugger that reports the fault. */          \
    ARRAY(char, last_fatal_text, FATAL_MESSAGE_BYTES)
// clang-format on

#define MIRT_DECLARE_VALUE(type, name, initial) extern type name;
#define MIRT_DECLARE_ARRAY(type, name, entries) extern type name[entries];
MIRT_VM_STATE(MIRT_DECLARE_VALUE, MIRT_DECLARE_ARRAY)
#undef MIRT_DECLARE_VALUE
#undef MIRT_DECLARE_ARRAY
