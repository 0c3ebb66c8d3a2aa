// Calls, frames, method resolution and native dispatch: what an invokestatic and a return
// do outside the interpreter's registers.
#include <optional>

#include "mirt.h"
#include "mirt_constant.h"
#include "mirt_core.h"
#include "mirt_descriptor.h"
#include "mirt_drive.h"
#include "mirt_error.h"
#include "mirt_method_ids.h"
#include "mirt_operation.h"
#include "mirt_resolve.h"

using namespace mirt_core;

namespace {

// The host's drive functions, by row of the drive-function table.
drive_call drive_calls[method_id_table.size()] = {};
not_emulated_call report_not_emulated = nullptr;
scripted_call scripted_calls[method_id_table.size()] = {};

void enter_code(const code_info& code) {
    max_locals = code.max_locals;
    const int end = code.locals + max_locals;
    if (max_locals != 0 && end > LOCAL_POOL_ENTRIES) error(ERROR_LOCAL_POOL_OVERFLOW, end);
    enter_kept_code(code);
}

// The whole descriptor is read, and every fault and error it holds is raised, before the
// first value is popped.
parameter_slots read_parameters(image_text descriptor, u16 method_ref) {
    descriptor_cursor parameters(text_chars(descriptor), text_length(descriptor));
    parameter_slots layout;
    int slots = 0;
    for (;;) {
        const int type = parameters.next_parameter();
        if (type == descriptor_cursor::END) fault(FAULT_BAD_DESCRIPTOR, method_ref);
        if (type == ')') break;
        if (type == 'I') {
            if (slots > PARAMETER_SLOTS - 1) error(ERROR_TOO_MANY_PARAMETERS);
            layout.slot_of[layout.count++] = static_cast<u8>(slots);
            slots += 1;
        } else if (type == 'J') {
            if (slots > PARAMETER_SLOTS - 2) error(ERROR_TOO_MANY_PARAMETERS);
            layout.slot_of[layout.count++] = static_cast<u8>(slots);
            slots += 2;
        } else {
            error(ERROR_PARAMETER_TYPE);
        }
    }
    return layout;
}

// Moves the parameters from the operand stack into the register locals, last first.
void pass_parameters(const parameter_slots& layout) {
    for (int i = layout.count; i > 0;) local_var[layout.slot_of[--i]] = pop_stack();
}

void default_native(u32 record, u16 method_ref, scripted_call scripted) {
    // A quiet run names the call in one line instead (the host's report_not_emulated).
    if (!scripted && !quiet) std::printf("ERROR: default function -> will not work in emulator\n");
    std::optional<descriptor_shape> shape = parse_descriptor(cf.method_descriptor(record));
    if (!shape) fault(FAULT_BAD_DESCRIPTOR, method_ref);
    // The arguments come off the stack last first; the host sees them in the order the
    // program wrote them instead.
    variable arguments[STACK_ENTRIES];
    const int count = shape->parameters < STACK_ENTRIES ? shape->parameters : STACK_ENTRIES;
    for (int i = 0; i < shape->parameters; ++i) {
        const variable argument = pop_stack();
        trace_line("param: %d\n", argument.value.S32);
        if (i < count) arguments[count - 1 - i] = argument;
    }
    const image_text name = cf.method_name(record);
    const u16 id = cf.method_field(record, mirt_method_info::e_method_id);
    s32 value = 0;
    if (scripted)
        value = scripted(name, id, arguments, count, shape->return_letter);
    else if (report_not_emulated)
        report_not_emulated(name, id, arguments, count, shape->return_letter);
    switch (shape->return_letter) {
    case 'V': break;
    case 'J': push_stack(long_entry(value)); break;
    case 'F': push_stack(float_entry(static_cast<float>(value))); break;
    case 'D': push_stack(double_entry(value)); break;
    case 'L':
    case '[': push_stack(typed(TYPE_VOID)); break; // null, as aconst_null pushes it
    default: push_stack(int_entry(value)); break;  // int, boolean, byte, char, short
    }
}

} // namespace

namespace {

// Prints a resolution's steps in the debug trace, each where the VM takes it.
struct traced_resolution_steps {
    void same_class(u32 ref) { trace_line("\tget function for reference id %d:\n", ref); }
    // A slot read from a damaged image can be 0xFFFFFFFF; it is printed as the int it was.
    void method_compared(image_text name, u32 index) {
        trace_line("\tget method by id: %.*s, (%d)\n", text_length(name), text_chars(name),
                   static_cast<int>(index));
    }
    void method_matched(image_text name, u32 index) {
        trace_line("\tget function from id %.*s, (%d)\n", text_length(name), text_chars(name),
                   static_cast<int>(index));
    }
    void other_class_method(image_text wanted, u32 slot) { method_compared(wanted, slot); }
    void other_class_named(image_text wanted, u32 slot, image_text name, u32 class_slot) {
        method_matched(wanted, slot);
        method_matched(name, class_slot);
    }
    void directory_entry_compared(const directory_entry& entry) {
        trace_line("teste: _%.*s_\n", text_length(entry.name), text_chars(entry.name));
    }
    void class_found(const directory_entry& entry) {
        trace_line("found: _%.*s_, count: %d\n", text_length(entry.name), text_chars(entry.name),
                   static_cast<int>(entry.offset));
    }
};

} // namespace

std::optional<directory_entry> get_class_info(image_text name) {
    if (!package) return std::nullopt;
    traced_resolution_steps steps;
    return find_class_entry(*package, name, steps);
}

// --- method resolution -----------------------------------------------------------------------

int get_method_id_by_reference(int ref, bool external) {
    traced_resolution_steps steps;
    const method_resolution r =
        resolve_method(cf, package, this_class, static_cast<u32>(ref), external, steps);
    switch (r.end) {
    case resolution_end::no_constant: fault(FAULT_NO_CONSTANT, ref);
    case resolution_end::wrong_constant: fault(FAULT_WRONG_CONSTANT, ref, r.kind);
    case resolution_end::class_not_found: error(ERROR_FUNCTION_NOT_FOUND, ref);
    case resolution_end::not_a_class_image: fault(FAULT_NOT_A_CLASS_IMAGE, r.entry.at);
    case resolution_end::method_not_found:
    case resolution_end::found: break;
    }
    if (!r.same_class) {
        last_cf = cf;
        cf = r.image;
    }
    if (r.end == resolution_end::method_not_found) error(ERROR_FUNCTION_NOT_FOUND, ref);
    return r.method;
}

// --- frames ----------------------------------------------------------------------------------

namespace {

// `method_ref` of `cf` is the running method now.
void make_current(u16 method_ref) {
    current_frame.method = method_ref;
    current_frame.cf = cf;
    last_cf = cf;
}

void run_native(u32 record, u16 method_ref, const method_id_row* row);
// Also keeps in `site`, when there is one, what it found.
void run_native_function(u16 method_ref, call_site* site);

// `traced`: false where a kept call site has written the lines already. `site`: the call
// site being activated, if any; it keeps what a Java callee's activation read, or where a
// native callee is found.
bool activate(u16 method_ref, bool traced, call_site* site) {
    if (site && site->native_kept) {
        make_current(method_ref);
        keep_trace();
        run_native(site->native_record, method_ref, site->native_row);
        return false;
    }
    if (site && site->entry_kept) {
        make_current(method_ref);
        enter_code(site->code);
        pc = code_begin;
        current_frame.pc = pc;
        pass_parameters(site->parameters);
        return true;
    }
    u32 record = cf.method(method_ref);
    if (traced) {
        image_text name = cf.method_name(record);
        trace_line("\tset frame to %.*s, (%d)\n", text_length(name), text_chars(name), method_ref);
    }
    make_current(method_ref);
    if (cf.method_field(record, mirt_method_info::access_flags) & ACC_NATIVE) {
        if (traced) trace_line("\tnative function\n");
        keep_trace();
        run_native_function(method_ref, site);
        return false;
    }
    const code_info code = cf.code(record, method_ref);
    enter_code(code);
    pc = code_begin;
    current_frame.pc = pc;
    const u16 descriptor_index =
        traced ? cf.method_field(record, mirt_method_info::descriptor_index) : 0;
    image_text descriptor = cf.method_descriptor(record);
    if (traced) {
        trace_line("==> descriptor idx: %d \n", descriptor_index);
        trace_line("==> descriptor %.*s\n", text_length(descriptor), text_chars(descriptor));
    }
    keep_trace();
    const parameter_slots parameters = read_parameters(descriptor, method_ref);
    pass_parameters(parameters);
    if (site) {
        site->code = code;
        site->parameters = parameters;
        site->entry_kept = true;
    }
    return true;
}

} // namespace

namespace mirt_core {

bool call_static(u16 index) {
    call_site& site = call_site_of(cf.base, index);
    if (site.lines.kept && site.image == cf.base && site.constant == index) {
        if constexpr (replay_kept_traces) {
            site.lines.write();
            cf.base = site.callee_image; // the activation sets last_cf
            return activate(site.method, false, &site);
        }
        remember_kept(site.lines);
    }
    site.image = cf.base;
    site.constant = index;
    site.entry_kept = site.native_kept = false;
    site.proof = nullptr;
    capture(site.lines);
    site.method = static_cast<u16>(get_method_id_by_reference(index, false));
    site.callee_image = cf.base;
    const bool enters = activate(site.method, true, &site);
    compare_kept(site.lines);
    return enters;
}

} // namespace mirt_core

namespace {

frame_info saved_caller() {
    frame_info saved;
    save_caller(saved, pc);
    return saved;
}

} // namespace

namespace mirt_core {

void push_caller() {
    if (frame_counter < FRAME_LIMIT)
        save_caller(frame[frame_counter++], pc);
    else
        push_frame(saved_caller());
}
void pop_caller() {
    if (frame_counter > 0)
        reactivate(frame[--frame_counter]);
    else
        restore_current_frame(pop_frame());
}

} // namespace mirt_core

bool set_current_frame(u16 method_ref) {
    capturing = nullptr; // not a call site's
    return activate(method_ref, true, nullptr);
}

void restore_frame(const frame_info& saved) {
    reactivate(saved);
    return_line& line = return_line_of(cf.base, saved.method);
    if (line.lines.kept && line.image == cf.base && line.method == saved.method) {
        if constexpr (replay_kept_traces) {
            line.lines.write();
            enter_code(line.code);
            return;
        }
        remember_kept(line.lines);
    }
    line.image = cf.base;
    line.method = saved.method;
    line.proof = nullptr;
    capture(line.lines);
    const u32 record = cf.method(saved.method);
    image_text name = cf.method_name(record);
    trace_line("\trestore to function: %.*s, (%d)\n", text_length(name), text_chars(name),
               cf.method_field(record, mirt_method_info::name_index));
    line.code = cf.code(record, saved.method);
    enter_code(line.code);
    keep_trace();
    compare_kept(line.lines);
}

void update_current_frame() {
    current_frame.pc = pc;
    current_frame.cf = last_cf;
}

void restore_current_frame(const frame_info& saved) { reactivate(saved); }

// --- native dispatch -------------------------------------------------------------------------

void register_drive_function(method_id id, drive_call call) {
    if (const method_id_row* row = find_method_id(id))
        drive_calls[static_cast<size_t>(row - method_id_table.data())] = call;
}

void register_not_emulated(not_emulated_call call) { report_not_emulated = call; }

void register_scripted_function(method_id id, scripted_call call) {
    if (const method_id_row* row = find_method_id(id))
        scripted_calls[static_cast<size_t>(row - method_id_table.data())] = call;
}

namespace {

// The native `method_ref` of `cf`, whose record and identifier row (null: none) are found.
void run_native(u32 record, u16 method_ref, const method_id_row* row) {
    const size_t index = row ? static_cast<size_t>(row - method_id_table.data()) : 0;
    const drive_call call = row ? drive_calls[index] : nullptr;
    if (!call || !row->emulated()) {
        default_native(record, method_ref, row ? scripted_calls[index] : nullptr);
        return;
    }
    // clang-format off
    switch (row->shape) {
    case drive_shape::int_argument:                call(pop_stack().value.S32); break;
    case drive_shape::long_argument:               call(pop_stack().value.S64); break;
    case drive_shape::int_result:                  push_stack(int_entry(call(0))); break;
    case drive_shape::channel_argument_int_result: push_stack(int_entry(call(sub32(pop_stack().value.S32, 1)))); break;
    case drive_shape::default_row:                 break;
    }
    // clang-format on
}

void run_native_function(u16 method_ref, call_site* site) {
    u32 record = cf.method(method_ref);
    if (!(cf.method_field(record, mirt_method_info::access_flags) & ACC_NATIVE))
        error(ERROR_NOT_NATIVE, method_ref);
    const u16 id = cf.method_field(record, mirt_method_info::e_method_id);
    if (id == NO_METHOD_ID) error(ERROR_FUNCTION_NOT_FOUND, method_ref);
    const method_id_row* row = find_method_id(id);
    if (site) {
        site->native_record = record;
        site->native_row = row;
        site->native_kept = true;
    }
    run_native(record, method_ref, row);
}

} // namespace

void run_native_function(u16 method_ref) { run_native_function(method_ref, nullptr); }
