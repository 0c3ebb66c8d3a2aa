// What the parts of the VM core share among themselves: the kept trace lines and call sites,
// the helpers of calls and frames the interpreter inlines, and the interpreter's entries the
// lifecycle calls. Internal to vm/steuerung/src/mirt: no host includes it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>

#include "mirt.h"
#include "mirt_descriptor.h"
#include "mirt_method_ids.h"
#include "mirt_proof.h"

namespace mirt_core {

// --- kept trace lines and call sites -------------------------------------------------------

// Trace lines that come out the same at every execution, kept as they are first printed
// and written again as one block. Kept only once what prints them got through without a
// fault, so a failing call or return always takes the traced way again. Cleared whenever a
// buffer is loaded, the VM is initialised or reset.
constexpr u16 KEPT_TRACE_BYTES = 480; // lines that are longer are formatted each time

// Kept lines the unchecked body writes through its own calls and returns, collected into
// one block: a write to the stream per call cost more than all else the call does. The
// block is written out by registers::save and by image_fault, the only ways out of the
// unchecked body, so everything else on standard output comes after it in order. A hazard
// for new code there: whatever prints must come after one of them.
constexpr size_t PENDING_TRACE_BYTES = 1 << 14;
static_assert(PENDING_TRACE_BYTES >= KEPT_TRACE_BYTES);
extern char pending_trace[PENDING_TRACE_BYTES];
extern size_t pending_trace_length;

void write_pending_trace();
[[gnu::always_inline]] inline void write_out_pending_trace() {
    if (pending_trace_length) [[unlikely]]
        write_pending_trace();
}

void add_pending_trace(const char* text, u16 length);

struct kept_trace {
    u16 length = 0;
    bool kept = false;
    char text[KEPT_TRACE_BYTES];

    void write() const {
        if (!quiet) std::fwrite(text, 1, length, stdout);
    }
    // For the unchecked body's own calls and returns only (see pending_trace). The quiet
    // test stays inline: a call would make the interpreter spill its registers for nothing.
    [[gnu::always_inline]] void write_pending() const {
        if (!quiet) add_pending_trace(text, length);
    }
};
// The rule for kept lines: a line may be kept only if its text depends on nothing but the
// key it is kept under (a call site's image and constant, a return line's image and
// method), never on a run-time value. MIRT_CHECK_KEPT_TRACES builds (the tests' checking
// emulator) hold to it by never replaying: every kept line is formatted afresh and compared
// with the one kept, and a difference aborts.
#ifndef MIRT_CHECK_KEPT_TRACES
#define MIRT_CHECK_KEPT_TRACES 0
#endif
constexpr bool replay_kept_traces = !MIRT_CHECK_KEPT_TRACES;

// The lines kept before, as a check build formats them afresh in their place.
void remember_kept(const kept_trace& lines);
// Aborts where the fresh lines differ from the ones kept before them.
void compare_kept(const kept_trace& fresh);

// The lines being kept; a fault can leave it set, which is harmless: they are not kept
// until keep_trace.
extern kept_trace* capturing;

void capture(kept_trace& lines);
void keep_trace();

// Where a Java method's parameters go: the register local of each, in declaration order.
struct parameter_slots {
    u8 count = 0;
    u8 slot_of[PARAMETER_SLOTS] = {};
};

// A call site's resolution, the lines of its activation up to the parameters and, for a
// Java callee, its code and where its parameters go depend on the calling image and the
// constant only.
constexpr u32 NO_IMAGE = 0xFFFFFFFF; // no image starts there: packages are far smaller
constexpr u32 CALL_SITE_ENTRIES = 64;
struct call_site {
    code_info code{};            // the Java callee's
    u32 image = NO_IMAGE;        // base of the calling class image
    u32 callee_image = NO_IMAGE; // base of the callee's
    u16 constant = 0;
    u16 method = 0;
    kept_trace lines;
    parameter_slots parameters;
    bool entry_kept = false; // code and parameters, once a Java callee got its parameters
    const method_proof* proof = nullptr; // the callee's, once the unchecked body asked
    // A native callee's method record and its row of the identifier table (null: none),
    // once its call got past the checks that find them.
    bool native_kept = false;
    u32 native_record = 0;
    const method_id_row* native_row = nullptr;
};
extern call_site call_sites[CALL_SITE_ENTRIES];
inline call_site& call_site_of(u32 image, u16 constant) {
    return call_sites[(constant ^ image >> 3) % CALL_SITE_ENTRIES];
}

// The line a return into a method prints and the code it goes back to depend on the image
// and the method only; both are kept once the code was entered.
constexpr u32 RETURN_LINE_ENTRIES = 64;
struct return_line {
    code_info code{};
    u32 image = NO_IMAGE;
    u16 method = 0;
    kept_trace lines;
    const method_proof* proof = nullptr; // the method's, once the unchecked body asked
};
extern return_line return_lines[RETURN_LINE_ENTRIES];
inline return_line& return_line_of(u32 image, u16 method) {
    return return_lines[(method ^ image >> 3) % RETURN_LINE_ENTRIES];
}

// Also forgets the proofs: a kept call site or return line points to one.
void clear_kept_traces();

// The traces of class lookup, resolution and activation; a quiet run prints none of them.
[[gnu::format(printf, 1, 2)]] void trace_line(const char* format, ...);

// --- the running code ----------------------------------------------------------------------

// Names are printed whole with an explicit length: image text has no terminator.
inline int text_length(image_text text) { return text.length; }
inline const char* text_chars(image_text text) { return reinterpret_cast<const char*>(text.bytes); }

inline std::optional<descriptor_shape> parse_descriptor(image_text text) {
    return ::parse_descriptor(text_chars(text), text_length(text));
}

// --- calls and frames ----------------------------------------------------------------------

// Sets max_locals, locals and the code range to `code`, a method's of `cf`: enter_code,
// with error 18 when its window passes the end of the pool, or enter_kept_code, for code
// that was entered before without an error.
[[gnu::always_inline]] inline void enter_kept_code(const code_info& code) {
    max_locals = code.max_locals;
    locals = max_locals != 0 ? &local_var_pool[code.locals] : nullptr;
    code_begin = code.begin;
    code_end = code.end;
}

// The caller's frame as a call saves it, pc at `at`: its activation and its register locals.
[[gnu::always_inline]] inline void save_caller(frame_info& saved, const u8* at) {
    saved.cf = last_cf;
    saved.pc = at;
    saved.method = current_frame.method;
    for (int i = 0; i < REGISTER_LOCALS; ++i) saved.local_var[i] = local_var[i];
}

// The saved caller runs again: its activation, pc and register locals.
[[gnu::always_inline]] inline void reactivate(const frame_info& saved) {
    current_frame = saved;
    for (int i = 0; i < REGISTER_LOCALS; ++i) local_var[i] = saved.local_var[i];
    pc = saved.pc;
    cf = saved.cf;
    last_cf = saved.cf;
}

// An invokestatic of constant `index`: resolution and activation, from its kept call site
// where there is one. Answers whether the callee's code runs next.
bool call_static(u16 index);
// The caller a call pushes, written in its frame in place; at the limit push_frame reports
// the overflow.
void push_caller();
// The caller of a native that returned runs again, from its frame in place.
void pop_caller();

// Every variable of the VM's state list (mirt_state.h) as at process start.
void reset_state();

// --- the interpreter's entries -------------------------------------------------------------

void restart_countdown();
void run_to_end_of_main();
void clear_constant_cache();

} // namespace mirt_core
