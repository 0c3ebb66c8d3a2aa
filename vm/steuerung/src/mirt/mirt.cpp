// VM state and lifecycle, method resolution, frame activation, native dispatch and the
// interpreter.
#include "mirt.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "../emulator/debug.h"
#include "../emulator/emulate.h"
#include "mirt_error.h"
#include "mirt_method_ids.h"
#include "mirt_opcodes.h"
#include "mirt_operation.h"

u8* static_mem = nullptr;
package_bytes loaded;
package_directory* package = nullptr;
class_image cf;
class_image last_cf;
int this_class = 0;
const u8* pc = nullptr;
const u8* code_begin = nullptr;
const u8* code_end = nullptr;
bool inc_pc = true;
u16 function_counter = 0;
bool is_debug = false;
bool mirt_is_running = false;
bool mirt_init_pending = false;
bool mirt_start_pending = false;
bool wide_opcode = false;
frame_info current_frame;
variable local_var[REGISTER_LOCALS];
variable local_var_pool[LOCAL_POOL_ENTRIES];
variable* locals = nullptr;
u16 max_locals = 0;

namespace {

package_directory package_dir{&loaded};

void run_to_end_of_main();

[[noreturn]] void image_fault(image_problem problem, s64 detail1, s64 detail2) {
    fault(static_cast<vm_fault>(problem), detail1, detail2);
}

// Names are printed whole with an explicit length: image text has no terminator.
int text_length(image_text text) { return text.length; }
const char* text_chars(image_text text) { return reinterpret_cast<const char*>(text.bytes); }

// --- method descriptors --------------------------------------------------------------------

struct descriptor_shape {
    int parameters;     // one operand stack entry each
    char return_letter; // first letter of the return type: 'V', 'I', 'J', '[', 'L', ...
};

// Parses "(<field types>)<return type>"; nothing when the text is not a descriptor.
std::optional<descriptor_shape> parse_descriptor(image_text text) {
    const char* s = text_chars(text);
    const int n = text_length(text);
    int i = 0;
    auto field_type = [&]() -> bool {
        while (i < n && s[i] == '[') ++i;
        if (i >= n) return false;
        if (s[i] == 'L') {
            while (i < n && s[i] != ';') ++i;
            if (i >= n) return false;
        } else if (get_type(s[i]) < 0 || s[i] == '(' || s[i] == ')') {
            return false;
        }
        ++i;
        return true;
    };
    if (n == 0 || s[i++] != '(') return std::nullopt;
    descriptor_shape shape{0, 'V'};
    while (i < n && s[i] != ')') {
        if (!field_type()) return std::nullopt;
        ++shape.parameters;
    }
    if (i >= n) return std::nullopt;
    ++i;
    if (i >= n) return std::nullopt;
    shape.return_letter = s[i];
    if (s[i] == 'V') return i + 1 == n ? std::optional(shape) : std::nullopt;
    if (!field_type() || i != n) return std::nullopt;
    return shape;
}

// --- operand stack helpers -----------------------------------------------------------------

inline variable typed(u8 type) {
    variable v;
    v.type = type;
    v.value.U64 = 0;
    return v;
}
// A fresh entry with `tag` whose `member` holds x; the other value bytes are zero.
template <typename T> inline void push_as(u8 tag, T var_data::*member, T x) {
    variable v = typed(tag);
    v.value.*member = x;
    push_stack(v);
}
inline void push_int(s32 x) { push_as(TYPE_INT, &var_data::S32, x); }
inline void push_long(s64 x) { push_as(TYPE_LONG, &var_data::S64, x); }
inline void push_float(float x) { push_as(TYPE_FLOAT, &var_data::F, x); }
inline void push_double(double x) { push_as(TYPE_DOUBLE, &var_data::D, x); }

// --- the interpreter's registers ----------------------------------------------------------

// The helpers below are always inlined: a call would make the registers live in memory.
// While instructions run, pc and the operand stack count are kept in these working copies
// (registers, in the run loop) and written back to `pc` and `stack_counter` before anything
// else may look at them: calls and returns, the trace, every fatal path. `advance` is the
// step's inc_pc.
struct registers {
    const u8* pc;
    u16 count;
    bool advance;

    void save() const {
        ::pc = pc;
        stack_counter = count;
    }
    void load() {
        pc = ::pc;
        count = stack_counter;
    }
};

[[noreturn, gnu::cold]] void fail(registers r, int error_id, s64 detail = 0) {
    r.save();
    error(error_id, detail);
}
[[noreturn, gnu::cold]] void fail(registers r, vm_fault fault_id, s64 detail1 = 0,
                                  s64 detail2 = 0) {
    r.save();
    fault(fault_id, detail1, detail2);
}

[[gnu::always_inline]] inline void push(registers& r, variable value) {
    if (r.count >= STACK_LIMIT) {
        r.save();
        stack_overflow(value);
    }
    stack[r.count++] = value;
}
[[gnu::always_inline]] inline variable pop(registers& r) {
    if (r.count == 0) fail(r, 13);
    return stack[--r.count];
}
template <typename T>
[[gnu::always_inline]] inline void push_as(registers& r, u8 tag, T var_data::*member, T x) {
    variable v = typed(tag);
    v.value.*member = x;
    push(r, v);
}
[[gnu::always_inline]] inline void push_int(registers& r, s32 x) {
    push_as(r, TYPE_INT, &var_data::S32, x);
}
[[gnu::always_inline]] inline void push_long(registers& r, s64 x) {
    push_as(r, TYPE_LONG, &var_data::S64, x);
}
[[gnu::always_inline]] inline void push_float(registers& r, float x) {
    push_as(r, TYPE_FLOAT, &var_data::F, x);
}
[[gnu::always_inline]] inline void push_double(registers& r, double x) {
    push_as(r, TYPE_DOUBLE, &var_data::D, x);
}

// The result of an instruction written over its deepest operand: the tag and the member
// that belongs to it; the other value bytes keep what they held.
[[gnu::always_inline]] inline void put_int(variable& v, s32 x) {
    v.type = TYPE_INT, v.value.S32 = x;
}
[[gnu::always_inline]] inline void put_long(variable& v, s64 x) {
    v.type = TYPE_LONG, v.value.S64 = x;
}
[[gnu::always_inline]] inline void put_float(variable& v, float x) {
    v.type = TYPE_FLOAT, v.value.F = x;
}
[[gnu::always_inline]] inline void put_double(variable& v, double x) {
    v.type = TYPE_DOUBLE, v.value.D = x;
}

// "Pop `count` operands, push one result" done in place: the operands stay where they are,
// the count drops by count - 1, and the deepest operand's entry is returned for the result.
// Too few operands is the stack underflow the pops would report.
[[gnu::always_inline]] inline variable* operands(registers& r, u16 count) {
    if (r.count < count) {
        r.count = 0;
        fail(r, 13);
    }
    r.count = static_cast<u16>(r.count - count + 1);
    return &stack[r.count - 1];
}

// Loads and stores move 4 bytes for int and float and all 8 for long and double; a
// narrower store leaves the upper bytes of the local as they were.
[[gnu::always_inline]] inline variable load_local(const variable& local, u8 type, bool wide_value) {
    variable v = typed(type);
    if (wide_value)
        v.value.U64 = local.value.U64;
    else
        v.value.U32 = local.value.U32;
    return v;
}
[[gnu::always_inline]] inline void store_local(registers& r, variable& local, u8 type,
                                               bool wide_value) {
    variable v = pop(r);
    if (wide_value)
        local.value.U64 = v.value.U64;
    else
        local.value.U32 = v.value.U32;
    local.type = type;
}

// --- reading code --------------------------------------------------------------------------

[[gnu::always_inline]] inline int code_offset(const u8* at) {
    return static_cast<int>(at - code_begin);
}

// The next operand byte; pc ends on the byte read.
[[gnu::always_inline]] inline u8 next_byte(registers& r) {
    if (++r.pc >= code_end) fail(r, FAULT_PAST_CODE_END, code_offset(code_end));
    return *r.pc;
}
[[gnu::always_inline]] inline u16 next_u16(registers& r) {
    u16 high = next_byte(r);
    return static_cast<u16>(high << 8 | next_byte(r));
}
[[gnu::always_inline]] inline s32 next_s32(registers& r) {
    u32 high = next_u16(r);
    return static_cast<s32>(high << 16 | next_u16(r));
}

// Leaves pc one byte before the target, for the step's advance.
[[gnu::always_inline]] inline void jump(registers& r, const u8* opcode_at, s32 offset) {
    s64 target = static_cast<s64>(code_offset(opcode_at)) + offset;
    if (target < 0 || target >= code_offset(code_end))
        fail(r, FAULT_JUMP_OUTSIDE_CODE, code_offset(opcode_at), target);
    r.pc = code_begin + target - 1;
}

// Index operand of the indexed loads, stores and iinc: two bytes after a pending wide.
[[gnu::always_inline]] inline u16 local_index_operand(registers& r) {
    if (wide_opcode) {
        wide_opcode = false;
        return next_u16(r);
    }
    return next_byte(r);
}
[[gnu::always_inline]] inline variable& pool_local(registers& r, u16 index) {
    if (index >= max_locals) fail(r, 9, index);
    return locals[index];
}

// --- activation ----------------------------------------------------------------------------

// Sets max_locals, locals and the code range for a method of `cf`; error 18 when its
// window passes the end of the pool.
void enter_code(u32 record, u16 method_ref) {
    code_info code = cf.code(record, method_ref);
    max_locals = code.max_locals;
    if (max_locals != 0) {
        int end = code.locals + max_locals;
        if (end > LOCAL_POOL_ENTRIES) error(18, end);
        locals = &local_var_pool[code.locals];
    } else {
        locals = nullptr;
    }
    code_begin = code.begin;
    code_end = code.end;
}

// Moves the parameters of a Java method from the operand stack into the register locals.
// The whole descriptor is checked before the first value is popped.
void pass_parameters(image_text descriptor, u16 method_ref) {
    const char* s = text_chars(descriptor);
    const int n = text_length(descriptor);
    int slot_of[REGISTER_LOCALS];
    int count = 0;
    int slots = 0;
    for (int i = 0;; ++i) {
        if (i >= n) fault(FAULT_BAD_DESCRIPTOR, method_ref);
        int type = get_type(s[i]);
        if (type == TYPE_ARGS_BEGIN) continue;
        if (type == TYPE_ARGS_END) break;
        if (type == TYPE_INT) {
            if (slots > 3) error(6);
            slot_of[count++] = slots;
            slots += 1;
        } else if (type == TYPE_LONG) {
            if (slots > 2) error(6);
            slot_of[count++] = slots;
            slots += 2;
        } else {
            error(2);
        }
    }
    while (count > 0) local_var[slot_of[--count]] = pop_stack();
}

void default_native(u32 record, u16 method_ref) {
    std::printf("ERROR: default function -> will not work in emulator\n");
    std::optional<descriptor_shape> shape = parse_descriptor(cf.method_descriptor(record));
    if (!shape) fault(FAULT_BAD_DESCRIPTOR, method_ref);
    for (int i = 0; i < shape->parameters; ++i) std::printf("param: %d\n", pop_stack().value.S32);
    switch (shape->return_letter) {
    case 'V': break;
    case 'J': push_long(0); break;
    case 'F': push_float(0.0f); break;
    case 'D': push_double(0.0); break;
    case 'L':
    case '[': push_stack(typed(TYPE_VOID)); break; // null, as aconst_null pushes it
    default: push_int(0); break;                   // int, boolean, byte, char, short
    }
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
    is_debug = debug;
}

void vm_init() {
    std::printf("initializing vm\n");
    if (mirt_is_running) {
        mirt_init_pending = true;
        return;
    }
    mirt_init_pending = false;
    mirt_is_running = false;
    clear_stack();
    clear_frame();
    pc = nullptr;
    cf = class_image{&loaded, 0};
    u32 magic = loaded.size() >= 4 ? cf.magic() : short_file_magic();
    std::printf("magic: %04x\n", magic);
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
            std::printf("\tmain gefunden: (%d) %.*s\n", i, text_length(name), text_chars(name));
            main_index = i;
            found = true;
            break;
        }
    }
    if (!found) error(7);
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
            if (pc >= code_end) fault(FAULT_PAST_CODE_END, code_offset(code_end));
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
    loaded = package_bytes();
    package = nullptr;
    cf = last_cf = class_image{};
    this_class = 0;
    pc = code_begin = code_end = nullptr;
    inc_pc = true;
    function_counter = 0;
    is_debug = mirt_is_running = mirt_init_pending = mirt_start_pending = wide_opcode = false;
    current_frame = frame_info{};
    std::fill(std::begin(local_var), std::end(local_var), variable{});
    std::fill(std::begin(local_var_pool), std::end(local_var_pool), variable{});
    locals = nullptr;
    max_locals = 0;
    std::fill(std::begin(stack), std::end(stack), variable{});
    std::fill(std::begin(frame), std::end(frame), frame_info{});
    stack_counter = frame_counter = 0;
}

std::optional<directory_entry> get_class_info(image_text name) {
    if (!package) return std::nullopt;
    // The count is read as the u16 it is stored as: every entry is searched, and each
    // entry is bounds-checked, so a damaged directory cannot loop or read outside.
    const u16 count = package->count();
    u32 at = mirt2_package::first_class_info;
    for (u32 i = 0; i < count; ++i) {
        directory_entry entry = package->entry_at(at);
        if (entry.id == mirt2_class_info::CLASS_ENTRY) {
            std::printf("teste: _%.*s_\n", text_length(entry.name), text_chars(entry.name));
            // The requested name only has to begin with the entry's whole name.
            bool match = name.length >= entry.name.length;
            for (u16 k = 0; match && k < entry.name.length; ++k)
                match = entry.name.bytes[k] == name.bytes[k];
            if (match) return entry;
        }
        at = entry.next;
    }
    return std::nullopt;
}

// --- method resolution -----------------------------------------------------------------------

int get_method_id_by_reference(int ref, bool external) {
    int result = -1;
    // Static methods of interfaces are named by InterfaceMethodref constants, same layout.
    std::optional<u32> found = cf.find_constant(static_cast<u32>(ref));
    if (!found) fault(FAULT_NO_CONSTANT, ref);
    const u32 methodref = *found;
    const u8 kind = cf.constant_tag_at(methodref);
    if (kind != CONSTANT_Methodref && kind != CONSTANT_InterfaceMethodref)
        fault(FAULT_WRONG_CONSTANT, ref, kind);
    u16 cidx = cf.constant_u16(methodref, CONSTANT_mirt_Methodref_info_struct::class_index);
    u16 nidx = cf.constant_u16(methodref, CONSTANT_mirt_Methodref_info_struct::name_and_type_index);
    u32 name_and_type = cf.constant(nidx, CONSTANT_NameAndType);
    u32 cname_idx =
        cf.constant_u16(name_and_type, CONSTANT_mirt_NameAndType_info_struct::name_index) - 1u;

    // A class index only means "this class" when it is the running image's own: the
    // index belongs to the constant pool of the current image, not of the first one.
    if ((cidx == this_class && cidx == cf.this_class()) || external) {
        std::printf("\tget function for reference id %d:\n", ref);
        const u16 count = cf.methods_count();
        for (u16 i = 0; i < count; ++i) {
            u32 record = cf.method(i);
            image_text name = cf.method_name(record);
            std::printf("\tget method by id: %.*s, (%d)\n", text_length(name), text_chars(name), i);
            if (cf.method_field(record, mirt_method_info::name_index) == cname_idx) {
                std::printf("\tget function from id %.*s, (%d)\n", text_length(name),
                            text_chars(name), i);
                result = i;
                break;
            }
        }
    } else {
        image_text wanted = cf.utf8_slot(cname_idx);
        std::printf("\tget method by id: %.*s, (%d)\n", text_length(wanted), text_chars(wanted),
                    cname_idx);
        u32 class_record = cf.constant(cidx, CONSTANT_Class);
        u32 class_idx =
            cf.constant_u16(class_record, CONSTANT_mirt_Class_info_struct::name_index) - 1u;
        image_text class_name = cf.utf8_slot(class_idx);
        std::printf("\tget function from id %.*s, (%d)\n", text_length(wanted), text_chars(wanted),
                    cname_idx);
        std::printf("\tget function from id %.*s, (%d)\n", text_length(class_name),
                    text_chars(class_name), class_idx);
        std::optional<directory_entry> entry = get_class_info(class_name);
        if (!entry) error(3, ref);
        std::printf("found: _%.*s_, count: %d\n", text_length(entry->name), text_chars(entry->name),
                    static_cast<int>(entry->offset));
        class_image target{&loaded, entry->offset};
        if (!loaded.contains(target.base, 4) || target.magic() != CLASS_IMAGE_MAGIC)
            fault(FAULT_NOT_A_CLASS_IMAGE, entry->at);
        last_cf = cf;
        cf = target;
        const u16 count = cf.methods_count();
        for (u16 i = 0; i < count; ++i) {
            image_text name = cf.method_name(cf.method(i));
            std::printf("\tget method by id: %.*s, (%d)\n", text_length(name), text_chars(name), i);
            bool same = name.length == wanted.length;
            for (u16 k = 0; same && k < name.length; ++k) same = name.bytes[k] == wanted.bytes[k];
            if (same) {
                result = i;
                break;
            }
        }
    }
    if (result < 0) error(3, ref);
    return result;
}

// --- frames ----------------------------------------------------------------------------------

bool set_current_frame(u16 method_ref) {
    u32 record = cf.method(method_ref);
    image_text name = cf.method_name(record);
    std::printf("\tset frame to %.*s, (%d)\n", text_length(name), text_chars(name), method_ref);
    current_frame.method = method_ref;
    current_frame.cf = cf;
    last_cf = cf;
    if (cf.method_field(record, mirt_method_info::access_flags) & ACC_NATIVE) {
        std::printf("\tnative function\n");
        run_native_function(method_ref);
        return false;
    }
    enter_code(record, method_ref);
    pc = code_begin;
    current_frame.pc = pc;
    u16 descriptor_index = cf.method_field(record, mirt_method_info::descriptor_index);
    image_text descriptor = cf.method_descriptor(record);
    std::printf("==> descriptor idx: %d \n", descriptor_index);
    std::printf("==> descriptor %.*s\n", text_length(descriptor), text_chars(descriptor));
    pass_parameters(descriptor, method_ref);
    return true;
}

void restore_frame(frame_info frame) {
    current_frame = frame;
    pc = frame.pc;
    cf = frame.cf;
    last_cf = frame.cf;
    for (int i = 0; i < REGISTER_LOCALS; ++i) local_var[i] = frame.local_var[i];
    u32 record = cf.method(frame.method);
    image_text name = cf.method_name(record);
    std::printf("\trestore to function: %.*s, (%d)\n", text_length(name), text_chars(name),
                cf.method_field(record, mirt_method_info::name_index));
    enter_code(record, frame.method);
}

void update_current_frame() {
    for (int i = 0; i < REGISTER_LOCALS; ++i) current_frame.local_var[i] = local_var[i];
    current_frame.pc = pc;
    current_frame.cf = last_cf;
}

void restore_current_frame() {
    for (int i = 0; i < REGISTER_LOCALS; ++i) local_var[i] = current_frame.local_var[i];
    pc = current_frame.pc;
    cf = current_frame.cf;
    last_cf = current_frame.cf;
}

// --- native dispatch -------------------------------------------------------------------------

void run_native_function(u16 method_ref) {
    u32 record = cf.method(method_ref);
    if (!(cf.method_field(record, mirt_method_info::access_flags) & ACC_NATIVE))
        error(1, method_ref);
    // clang-format off
    switch (cf.method_field(record, mirt_method_info::e_method_id)) {
    case NATIVE_DISPLAY_INT:        native_display_int(pop_stack().value.S32); break;
    case NATIVE_DISPLAY_LONG:       native_display_long(pop_stack().value.S64); break;
    case NATIVE_GET_MILLIS:         push_int(native_get_millis()); break;
    case NATIVE_GET_ANALOG_INPUT:   push_int(native_get_analog_input(sub32(pop_stack().value.S32, 1))); break;
    case NATIVE_SET_LED:            native_set_led(pop_stack().value.S32); break;
    case NATIVE_SET_DIGITAL_OUTPUT: native_set_dig_output(pop_stack().value.S32); break;
    case NATIVE_GET_DIGITAL_INPUT:  push_int(native_get_dig_input()); break;
    case NATIVE_GET_DIGITAL_OUTPUT: push_int(native_get_dig_output()); break;
    case NO_METHOD_ID:              error(3, method_ref);
    default:                        default_native(record, method_ref); break;
    }
    // clang-format on
}

// --- the interpreter -------------------------------------------------------------------------

// clang-format off
// Operand pictures: b is the top entry, a the one below it. Each family is written as one
// row per type so that int, long, float and double stay side by side.
#define BINARY(member, put, expr)                                                             \
    {                                                                                         \
        variable* x = operands(r, 2);                                                            \
        const auto a = x[0].value.member;                                                     \
        const auto b = x[1].value.member;                                                     \
        put(x[0], expr);                                                                      \
    }
#define UNARY(member, put, expr)                                                              \
    {                                                                                         \
        variable* x = operands(r, 1);                                                            \
        const auto a = x[0].value.member;                                                     \
        put(x[0], expr);                                                                      \
    }
#define SHIFT(member, put, expr)                                                              \
    {                                                                                         \
        variable* x = operands(r, 2);                                                            \
        const auto a = x[0].value.member;                                                     \
        const s32 n = x[1].value.S32;                                                         \
        put(x[0], expr);                                                                      \
    }
#define DIVIDE(member, put, expr)                                                             \
    {                                                                                         \
        variable* x = operands(r, 2);                                                            \
        const auto a = x[0].value.member;                                                     \
        const auto b = x[1].value.member;                                                     \
        if (b == 0) fail(r, FAULT_DIVISION_BY_ZERO, code_offset(r.pc));                           \
        put(x[0], expr);                                                                      \
    }
#define RETAG(tag) operands(r, 1)->type = tag;
#define IF_ZERO(cond)                                                                         \
    {                                                                                         \
        const u8* at = r.pc;                                                                    \
        const s16 offset = static_cast<s16>(next_u16(r));                                 \
        const s32 a = pop(r).value.S32;                                                  \
        if (cond) jump(r, at, offset);                                                           \
    }
#define IF_CMP(cond)                                                                          \
    {                                                                                         \
        const u8* at = r.pc;                                                                    \
        const s16 offset = static_cast<s16>(next_u16(r));                                 \
        const s32 b = pop(r).value.S32;                                                  \
        const s32 a = pop(r).value.S32;                                                  \
        if (cond) jump(r, at, offset);                                                           \
    }

// clang-format on

// The interpreter: executes the instruction `op` at pc, prints the trace after it when
// `trace`, and answers false when it was the return from main. Handlers leave pc on the last byte
// of their instruction; the step then advances it. Always inlined, into execute_instruction (one
// step) and into the run loop.
template <bool trace> [[gnu::always_inline]] inline bool execute_one(u8 op, registers& r) {
    r.advance = true;
    // The opcode families are kept as aligned rows.
    // clang-format off
    switch (op) {
    // constants
    case OP_nop: break;
    case OP_aconst_null: push(r, typed(TYPE_VOID)); break;
    case OP_iconst_m1:
    case OP_iconst_0:
    case OP_iconst_1:
    case OP_iconst_2:
    case OP_iconst_3:
    case OP_iconst_4:
    case OP_iconst_5: push_int(r, op - OP_iconst_0); break;
    case OP_lconst_0:
    case OP_lconst_1: push_long(r, op - OP_lconst_0); break;
    case OP_fconst_0:
    case OP_fconst_1:
    case OP_fconst_2: push_float(r, static_cast<float>(op - OP_fconst_0)); break;
    case OP_dconst_0:
    case OP_dconst_1: push_double(r, op - OP_dconst_0); break;
    case OP_bipush: push_int(r, static_cast<s8>(next_byte(r))); break;
    case OP_sipush: push_int(r, static_cast<s16>(next_u16(r))); break;
    case OP_ldc:
    case OP_ldc_w:
    case OP_ldc2_w: {
        const u16 index = op == OP_ldc ? next_byte(r) : next_u16(r);
        if (index >= cf.constant_pool_count()) fail(r, 8, index);
        // Index 0 and the slot behind a long or double name no constant.
        std::optional<u32> record = cf.find_constant(index);
        if (!record) fail(r, 8, index);
        const u8 tag = cf.constant_tag_at(*record);
        const u32 value_at = *record + CONSTANT_mirt_Integer_info_struct::value;
        variable v = typed(0);
        if (op != OP_ldc2_w) {
            if (tag != CONSTANT_Integer && tag != CONSTANT_Float) fail(r, 11, tag);
            v.type = tag == CONSTANT_Integer ? TYPE_INT : TYPE_FLOAT;
            v.value.U32 = loaded.u32_at(value_at);
        } else {
            if (tag != CONSTANT_Long && tag != CONSTANT_Double) fail(r, 4, tag);
            v.type = tag == CONSTANT_Long ? TYPE_LONG : TYPE_DOUBLE;
            v.value.U64 = loaded.u64_at(value_at);
        }
        push(r, v);
        break;
    }

    // loads: indexed forms reach the method's pool slice, one-byte forms the registers
    case OP_iload: push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_INT, false)); break;
    case OP_lload: push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_LONG, true)); break;
    case OP_fload: push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_FLOAT, false)); break;
    case OP_dload: push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_DOUBLE, true)); break;
    case OP_iload_0: case OP_iload_1: case OP_iload_2: case OP_iload_3:
        push(r, load_local(local_var[op - OP_iload_0], TYPE_INT, false)); break;
    case OP_lload_0: case OP_lload_1: case OP_lload_2: case OP_lload_3:
        push(r, load_local(local_var[op - OP_lload_0], TYPE_LONG, true)); break;
    case OP_fload_0: case OP_fload_1: case OP_fload_2: case OP_fload_3:
        push(r, load_local(local_var[op - OP_fload_0], TYPE_FLOAT, false)); break;
    case OP_dload_0: case OP_dload_1: case OP_dload_2: case OP_dload_3:
        push(r, load_local(local_var[op - OP_dload_0], TYPE_DOUBLE, true)); break;

    // stores: the index range is checked before the pop
    case OP_istore: store_local(r, pool_local(r, local_index_operand(r)), TYPE_INT, false); break;
    case OP_lstore: store_local(r, pool_local(r, local_index_operand(r)), TYPE_LONG, true); break;
    case OP_fstore: store_local(r, pool_local(r, local_index_operand(r)), TYPE_FLOAT, false); break;
    case OP_dstore: store_local(r, pool_local(r, local_index_operand(r)), TYPE_DOUBLE, true); break;
    case OP_istore_0: case OP_istore_1: case OP_istore_2: case OP_istore_3:
        store_local(r, local_var[op - OP_istore_0], TYPE_INT, false); break;
    case OP_lstore_0: case OP_lstore_1: case OP_lstore_2: case OP_lstore_3:
        store_local(r, local_var[op - OP_lstore_0], TYPE_LONG, true); break;
    case OP_fstore_0: case OP_fstore_1: case OP_fstore_2: case OP_fstore_3:
        store_local(r, local_var[op - OP_fstore_0], TYPE_FLOAT, false); break;
    case OP_dstore_0: case OP_dstore_1: case OP_dstore_2: case OP_dstore_3:
        store_local(r, local_var[op - OP_dstore_0], TYPE_DOUBLE, true); break;

    // stack manipulation: entries move whole; only pop2 looks at a tag
    case OP_pop: pop(r); break;
    case OP_pop2: {
        const variable x1 = pop(r);
        if (x1.type != TYPE_LONG && x1.type != TYPE_DOUBLE) pop(r);
        break;
    }
    case OP_dup: {
        const variable x1 = pop(r);
        push(r, x1), push(r, x1);
        break;
    }
    case OP_dup_x1: {
        const variable x1 = pop(r), x2 = pop(r);
        push(r, x1), push(r, x2), push(r, x1);
        break;
    }
    case OP_dup_x2: {
        const variable x1 = pop(r), x2 = pop(r), x3 = pop(r);
        push(r, x1), push(r, x3), push(r, x2), push(r, x1);
        break;
    }
    case OP_dup2: {
        const variable x1 = pop(r), x2 = pop(r);
        push(r, x2), push(r, x1), push(r, x2), push(r, x1);
        break;
    }
    case OP_dup2_x1: {
        const variable x1 = pop(r), x2 = pop(r), x3 = pop(r);
        push(r, x2), push(r, x1), push(r, x3), push(r, x2), push(r, x1);
        break;
    }
    case OP_dup2_x2: {
        const variable x1 = pop(r), x2 = pop(r), x3 = pop(r), x4 = pop(r);
        push(r, x2), push(r, x1), push(r, x4), push(r, x3), push(r, x2),
            push(r, x1);
        break;
    }
    case OP_swap: {
        const variable x1 = pop(r), x2 = pop(r);
        push(r, x1), push(r, x2);
        break;
    }

    // arithmetic
    case OP_iadd: BINARY(S32, put_int,       add32(a, b)) break;
    case OP_ladd: BINARY(S64, put_long,     add64(a, b)) break;
    case OP_fadd: BINARY(F,   put_float,   a + b)       break;
    case OP_dadd: BINARY(D,   put_double, a + b)       break;
    case OP_isub: BINARY(S32, put_int,       sub32(a, b)) break;
    case OP_lsub: BINARY(S64, put_long,     sub64(a, b)) break;
    case OP_fsub: BINARY(F,   put_float,   a - b)       break;
    case OP_dsub: BINARY(D,   put_double, a - b)       break;
    case OP_imul: BINARY(S32, put_int,       mul32(a, b)) break;
    case OP_lmul: BINARY(S64, put_long,     mul64(a, b)) break;
    case OP_fmul: BINARY(F,   put_float,   a * b)       break;
    case OP_dmul: BINARY(D,   put_double, a * b)       break;
    case OP_idiv: DIVIDE(S32, put_int,       div32(a, b)) break;
    case OP_ldiv: DIVIDE(S64, put_long,     div64(a, b)) break;
    case OP_fdiv: BINARY(F,   put_float,   a / b)       break;
    case OP_ddiv: BINARY(D,   put_double, a / b)       break;
    case OP_irem: DIVIDE(S32, put_int,       rem32(a, b)) break;
    case OP_lrem: DIVIDE(S64, put_long,     rem64(a, b)) break;
    case OP_ineg: UNARY(S32,  put_int,       neg32(a))      break;
    case OP_lneg: UNARY(S64,  put_long,     neg64(a))      break;
    case OP_fneg: UNARY(F,    put_float,   neg_float(a))  break;
    case OP_dneg: UNARY(D,    put_double, neg_double(a)) break;

    // shifts (the count is always an int) and bitwise logic
    case OP_ishl:  SHIFT(S32, put_int,     shl32(a, n))  break;
    case OP_lshl:  SHIFT(S64, put_long,   shl64(a, n))  break;
    case OP_ishr:  SHIFT(S32, put_int,     shr32(a, n))  break;
    case OP_lshr:  SHIFT(S64, put_long,   shr64(a, n))  break;
    case OP_iushr: SHIFT(S32, put_int,     ushr32(a, n)) break;
    case OP_lushr: SHIFT(S64, put_long,   ushr64(a, n)) break;
    case OP_iand:  BINARY(S32, put_int,     a & b)        break;
    case OP_land:  BINARY(S64, put_long,   a & b)        break;
    case OP_ior:   BINARY(S32, put_int,     a | b)        break;
    case OP_lor:   BINARY(S64, put_long,   a | b)        break;
    case OP_ixor:  BINARY(S32, put_int,     a ^ b)        break;
    case OP_lxor:  BINARY(S64, put_long,   a ^ b)        break;

    case OP_iinc: {
        const bool wide = wide_opcode;
        const u16 index = local_index_operand(r);
        const s32 delta = wide ? static_cast<s16>(next_u16(r)) : static_cast<s8>(next_byte(r));
        // Only the four register locals exist for iinc.
        if (index >= REGISTER_LOCALS) fail(r, 10, index);
        if (local_var[index].type != TYPE_INT) fail(r, 11, local_var[index].type);
        local_var[index].value.S32 = add32(local_var[index].value.S32, delta);
        break;
    }

    // conversions; the narrowing ones only retag, the value bytes stay as they were
    case OP_i2l: UNARY(S32, put_long,     a)                          break;
    case OP_i2f: UNARY(S32, put_float,   static_cast<float>(a))      break;
    case OP_i2d: UNARY(S32, put_double, a)                          break;
    case OP_l2i: UNARY(S64, put_int,       static_cast<s32>(a))        break;
    case OP_l2f: UNARY(S64, put_float,   static_cast<float>(a))      break;
    case OP_l2d: UNARY(S64, put_double, static_cast<double>(a))     break;
    case OP_f2i: UNARY(F,   put_int,       double_to_int(a))           break;
    case OP_f2l: UNARY(F,   put_long,     double_to_long(a))          break;
    case OP_f2d: UNARY(F,   put_double, a)                          break;
    case OP_d2i: UNARY(D,   put_int,       double_to_int(a))           break;
    case OP_d2l: UNARY(D,   put_long,     double_to_long(a))          break;
    case OP_d2f: UNARY(D,   put_float,   double_to_float(a))         break;
    case OP_i2b: RETAG(TYPE_BYTE)  break;
    case OP_i2c: RETAG(TYPE_CHAR)  break;
    case OP_i2s: RETAG(TYPE_SHORT) break;

    // comparisons: NaN compares as 0 for both the l and the g forms
    case OP_lcmp:  BINARY(S64, put_int,    compare3(a, b)) break;
    case OP_fcmpl:
    case OP_fcmpg: BINARY(F,   put_int,    compare3(a, b)) break;
    case OP_dcmpl:
    case OP_dcmpg: BINARY(D,   put_int,    compare3(a, b)) break;

    // branches
    case OP_ifeq:      IF_ZERO(a == 0) break;
    case OP_ifne:      IF_ZERO(a != 0) break;
    case OP_iflt:      IF_ZERO(a < 0)  break;
    case OP_ifge:      IF_ZERO(a >= 0) break;
    case OP_ifgt:      IF_ZERO(a > 0)  break;
    case OP_ifle:      IF_ZERO(a <= 0) break;
    case OP_if_icmpeq: IF_CMP(a == b)  break;
    case OP_if_icmpne: IF_CMP(a != b)  break;
    case OP_if_icmplt: IF_CMP(a < b)   break;
    case OP_if_icmpge: IF_CMP(a >= b)  break;
    case OP_if_icmpgt: IF_CMP(a > b)   break;
    case OP_if_icmple: IF_CMP(a <= b)  break;
    case OP_goto: {
        const u8* at = r.pc;
        jump(r, at, static_cast<s16>(next_u16(r)));
        break;
    }
    case OP_goto_w: {
        const u8* at = r.pc;
        jump(r, at, next_s32(r));
        break;
    }

    // returns: the value, if any, stays on the shared operand stack for the caller
    case OP_ireturn:
    case OP_lreturn:
    case OP_freturn:
    case OP_dreturn:
    case OP_return: {
        frame_info caller = pop_frame();
        if (!caller.pc) { // main returns: no trace for this instruction
            function_counter = 0;
            return false;
        }
        r.save();
        restore_frame(caller);
        r.load();
        --function_counter;
        break;
    }

    case OP_invokestatic: {
        const u16 index = next_u16(r);
        r.save(); // activation and natives work on pc and the stack
        update_current_frame();
        push_frame(current_frame);
        const int method = get_method_id_by_reference(index, false);
        if (set_current_frame(static_cast<u16>(method))) {
            r.advance = false; // pc is on the callee's first opcode
            ++function_counter;
        } else {
            current_frame = pop_frame();
            restore_current_frame();
            r.advance = true;
        }
        r.load();
        break;
    }

    case OP_wide: wide_opcode = true; break;

    // references, arrays, objects, fields, subroutines, switches, monitors, exceptions and
    // the floating-point remainders are not executed by this VM
    case OP_aload: case OP_aload_0: case OP_aload_1: case OP_aload_2: case OP_aload_3:
    case OP_iaload: case OP_laload: case OP_faload: case OP_daload:
    case OP_aaload: case OP_baload: case OP_caload: case OP_saload:
    case OP_astore: case OP_astore_0: case OP_astore_1: case OP_astore_2: case OP_astore_3:
    case OP_iastore: case OP_lastore: case OP_fastore: case OP_dastore:
    case OP_aastore: case OP_bastore: case OP_castore: case OP_sastore:
    case OP_frem: case OP_drem:
    case OP_if_acmpeq: case OP_if_acmpne:
    case OP_jsr: case OP_ret: case OP_tableswitch: case OP_lookupswitch:
    case OP_areturn:
    case OP_getstatic: case OP_putstatic: case OP_getfield: case OP_putfield:
    case OP_invokevirtual: case OP_invokespecial: case OP_invokeinterface:
    case OP_xxxunusedxxx1: case OP_new: case OP_newarray: case OP_anewarray:
    case OP_arraylength: case OP_athrow: case OP_checkcast: case OP_instanceof:
    case OP_monitorenter: case OP_monitorexit:
    case OP_multianewarray: case OP_ifnull: case OP_ifnonnull:
    case OP_jsr_w: case OP_breakpoint:
    case 0xcb ... 0xff: // no instruction has these values
        fail(r, 5, op);
    }
    // clang-format on
    if (trace) {
        r.save();
        print_instruction_trace(op, local_var);
    }
    return true;
}

void execute_instruction(int instruction) {
    const u8 op = static_cast<u8>(instruction);
    registers r{pc, stack_counter, true};
    is_debug ? execute_one<true>(op, r) : execute_one<false>(op, r);
    r.save();
    inc_pc = r.advance;
}

namespace {

// The steps of a run from here to the return from main, as mirt_step would make them one
// by one, without leaving the interpreter between them. Nothing an instruction does can set
// the requests a step checks besides (stop, initialise, start: only a host calls those).
template <bool trace> void run_steps_to_end_of_main() {
    registers r{pc, stack_counter, true};
    for (;;) {
        if (r.pc >= code_end) fail(r, FAULT_PAST_CODE_END, code_offset(code_end));
        if (!execute_one<trace>(*r.pc, r)) {
            ++r.pc; // the advance of its step
            r.save();
            inc_pc = true;
            return;
        }
        if (r.advance) ++r.pc;
    }
}

// The trace switch is fixed for a run; deciding it once keeps the test out of every step.
void run_to_end_of_main() {
    is_debug ? run_steps_to_end_of_main<true>() : run_steps_to_end_of_main<false>();
}

} // namespace
