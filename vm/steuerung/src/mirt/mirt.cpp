// VM state and lifecycle, method resolution, frame activation, native dispatch and the
// interpreter.
#include "mirt.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "mirt_constant.h"
#include "mirt_drive.h"
#include "mirt_descriptor.h"
#include "mirt_error.h"
#include "mirt_method_ids.h"
#include "mirt_opcodes.h"
#include "mirt_operation.h"
#include "mirt_proof.h"
#include "mirt_resolve.h"
#include "mirt_trace.h"

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
bool quiet = false;
bool batch_trace_output = true;
bool verified_fast_path = true;
u64 instructions_executed = 0;
u64 instruction_limit = NO_INSTRUCTION_LIMIT;
volatile std::sig_atomic_t stop_request = 0;
bool mirt_is_running = false;
bool mirt_init_pending = false;
bool mirt_start_pending = false;
bool wide_opcode = false;
activation current_frame;
variable local_var[REGISTER_LOCALS];
variable local_var_pool[LOCAL_POOL_ENTRIES];
variable* locals = nullptr;
u16 max_locals = 0;

namespace {

package_directory package_dir{&loaded};

// Instructions that may still complete before the bounds are looked at: the registers'
// `left` while the interpreter runs.
u64 countdown = MIRT_CHECK_INTERVAL;
stop_handler on_stop = nullptr;

// The host's drive functions, by row of the drive-function table.
drive_call drive_calls[method_id_table.size()] = {};
not_emulated_call report_not_emulated = nullptr;
scripted_call scripted_calls[method_id_table.size()] = {};

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
char pending_trace[PENDING_TRACE_BYTES];
size_t pending_trace_length = 0;

[[gnu::noinline]] void write_pending_trace() {
    std::fwrite(pending_trace, 1, pending_trace_length, stdout);
    pending_trace_length = 0;
}
[[gnu::always_inline]] inline void write_out_pending_trace() {
    if (pending_trace_length) [[unlikely]]
        write_pending_trace();
}

[[gnu::noinline]] void add_pending_trace(const char* text, u16 length) {
    if (!batch_trace_output) {
        std::fwrite(text, 1, length, stdout);
        return;
    }
    if (PENDING_TRACE_BYTES - pending_trace_length < length) write_pending_trace();
    std::memcpy(pending_trace + pending_trace_length, text, length);
    pending_trace_length += length;
}

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
// The lines being kept; a fault can leave it set, which is harmless: they are not kept
// until keep_trace.
kept_trace* capturing = nullptr;

void capture(kept_trace& lines) {
    lines.kept = false;
    lines.length = 0;
    capturing = &lines;
}

void keep_trace() {
    if (!capturing) return;
    capturing->kept = true;
    capturing = nullptr;
}

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
call_site call_sites[CALL_SITE_ENTRIES];
call_site& call_site_of(u32 image, u16 constant) {
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
return_line return_lines[RETURN_LINE_ENTRIES];
return_line& return_line_of(u32 image, u16 method) {
    return return_lines[(method ^ image >> 3) % RETURN_LINE_ENTRIES];
}

// Also forgets the proofs: a kept call site or return line points to one.
void clear_kept_traces() {
    for (call_site& site : call_sites) {
        site.lines.kept = site.entry_kept = site.native_kept = false;
        site.proof = nullptr;
    }
    for (return_line& line : return_lines) {
        line.lines.kept = false;
        line.proof = nullptr;
    }
    capturing = nullptr;
    clear_proofs();
    write_out_pending_trace();
}

[[gnu::format(printf, 1, 0)]] void capture_trace(const char* format, va_list arguments) {
    const size_t room = KEPT_TRACE_BYTES - capturing->length;
    char* end = capturing->text + capturing->length;
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_copy by the caller; false positive
    const int length = std::vsnprintf(end, room, format, arguments);
    if (length < 0 || static_cast<size_t>(length) >= room)
        capturing = nullptr; // too long to keep
    else
        capturing->length = static_cast<u16>(capturing->length + length);
}

// The traces of class lookup, resolution and activation; a quiet run prints none of them.
[[gnu::format(printf, 1, 2)]] void trace_line(const char* format, ...) {
    if (quiet && !capturing) return;
    va_list arguments;
    va_start(arguments, format);
    if (capturing) {
        va_list kept;
        va_copy(kept, arguments);
        capture_trace(format, kept);
        va_end(kept);
    }
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start above; analyser false positive
    if (!quiet) std::vprintf(format, arguments);
    va_end(arguments);
}

void restart_countdown() {
    const u64 remaining = instruction_limit - instructions_executed;
    countdown = remaining < MIRT_CHECK_INTERVAL ? remaining : MIRT_CHECK_INTERVAL;
}

// The countdown ran out after an instruction: the limit is reached, a stop was requested,
// or it is only time to look again. `advance_pc`: pc is still on the instruction's last
// byte. A stopped run leaves pc on the instruction that would run next.
[[gnu::cold, gnu::noinline]] void countdown_expired(bool advance_pc) {
    const bool at_limit = instructions_executed >= instruction_limit;
    if (at_limit || stop_request) {
        if (advance_pc) ++pc;
        inc_pc = false;
        countdown = 1; // a handler that throws leaves a state that looks again at once
        if (on_stop) on_stop(at_limit ? STOP_AT_LIMIT : STOP_REQUESTED);
        std::exit(2);
    }
    restart_countdown();
}

void run_to_end_of_main();

// Also reached from the unchecked body without registers::save (a constant read from
// malformed bytes): its kept lines go out before the message.
[[noreturn]] void image_fault(image_problem problem, s64 detail1, s64 detail2) {
    write_out_pending_trace();
    fault(static_cast<vm_fault>(problem), detail1, detail2);
}

// Names are printed whole with an explicit length: image text has no terminator.
int text_length(image_text text) { return text.length; }
const char* text_chars(image_text text) { return reinterpret_cast<const char*>(text.bytes); }

// --- method descriptors --------------------------------------------------------------------

std::optional<descriptor_shape> parse_descriptor(image_text text) {
    return ::parse_descriptor(text_chars(text), text_length(text));
}

// --- operand stack helpers -----------------------------------------------------------------

// --- the interpreter's registers ----------------------------------------------------------

// The unchecked body counts a straight run of code when it begins it: while it is in one,
// the running method's steps by code offset (see proof_steps), else null. Of the run pc is
// in, the instructions from pc's on have not completed yet.
const code_step* counted_runs = nullptr;

static_assert(std::endian::native == std::endian::little);
constexpr u64 HIGH_HALF = 0xFFFFFFFF00000000u; // the value bytes a 4-byte member leaves

// The helpers below are always inlined: a call would make the registers live in memory.
// While instructions run, pc, the value bytes of the operand stack's top entry and where
// it belongs, and the running method's code range are kept in these working copies
// (registers) and written back to `pc`, `stack` and `stack_counter` before anything else
// may look at them: calls and returns, the trace, every fatal path. Keeping the top value
// out of memory spares most instructions a store and a reload of the value they just made.
// The top entry's tag is always in its place in `stack`: most instructions set it to a
// constant, and a pop then needs no load of the tag below.
struct registers {
    const u8* pc;
    variable* top; // the top entry's place in `stack`: the spare entry while it is empty
    // The top entry's value bytes as one integer (read through bits_S32 and the others);
    // meaningless while the stack is empty. As a union the compiler would keep it in
    // memory, where writing a part of it stalls the next read of the whole.
    u64 tos_bits;

    variable top_entry() const {
        variable v;
        v.type = top->type;
        v.value.U64 = tos_bits;
        return v;
    }
    const u8* code_begin;
    const u8* code_end;

    u64 left; // instructions that may complete before the bounds are looked at again

    // Saving twice adds nothing twice: the count moves on by what was done since the last.
    // Always inlined: as a call it would take the registers' address and keep them in memory.
    [[gnu::always_inline]] void save() {
        write_out_pending_trace();
        const u64 not_done = counted_runs ? counted_runs[pc - code_begin].run : 0;
        ::pc = pc;
        top->value.U64 = tos_bits;
        stack_counter = static_cast<u16>(top - stack + 1);
        instructions_executed += countdown - left - not_done;
        countdown = left + not_done;
    }
    // Nothing of a run is counted in advance after a load.
    [[gnu::always_inline]] void load() {
        counted_runs = nullptr;
        left = countdown;
        pc = ::pc;
        top = stack + stack_counter - 1;
        tos_bits = top->value.U64;
        code_begin = ::code_begin;
        code_end = ::code_end;
    }
};

// The registers of one interpreter body. A checked body tests every instruction's stack,
// operands, branch target and the end of the code; the other runs only from places a
// method's proof allows, where none of these tests can fail.
template <bool Checked> struct body_registers : registers {
    static constexpr bool checked = Checked;
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

template <class R> [[gnu::always_inline]] inline void push(R& r, variable value) {
    if (R::checked && r.top >= stack + STACK_LIMIT - 1) {
        r.save();
        stack_overflow(value);
    }
    r.top->value.U64 = r.tos_bits;
    ++r.top;
    r.top->type = value.type;
    r.tos_bits = value.value.U64;
}
template <class R> [[gnu::always_inline]] inline variable pop(R& r) {
    if (R::checked && r.top < stack) fail(r, ERROR_STACK_UNDERFLOW);
    const variable value = r.top_entry();
    r.tos_bits = (--r.top)->value.U64;
    return value;
}

// An entry's 8 value bytes as one integer, read as the union's members: the 4-byte
// members are its low half, as the union lays them out on a little-endian host.
[[gnu::always_inline]] inline s32 bits_S32(u64 bits) {
    return static_cast<s32>(static_cast<u32>(bits));
}
[[gnu::always_inline]] inline s64 bits_S64(u64 bits) { return static_cast<s64>(bits); }
[[gnu::always_inline]] inline float bits_F(u64 bits) {
    return std::bit_cast<float>(static_cast<u32>(bits));
}
[[gnu::always_inline]] inline double bits_D(u64 bits) { return std::bit_cast<double>(bits); }

// The result of an instruction written over its deepest operand: the tag and the member
// that belongs to it; the other value bytes keep what they held. `upper`: that operand's
// value bytes beyond the 4-byte members, in place. It is cut out of the whole value: read
// apart, the upper bytes of a value just written would wait for the write to complete.
[[gnu::always_inline]] inline u64 upper_half(u64 bits) { return bits & HIGH_HALF; }
[[gnu::always_inline]] inline void put_int(u8& type, u64& bits, u64 upper, s32 x) {
    type = TYPE_INT, bits = upper | static_cast<u32>(x);
}
[[gnu::always_inline]] inline void put_long(u8& type, u64& bits, u64, s64 x) {
    type = TYPE_LONG, bits = static_cast<u64>(x);
}
[[gnu::always_inline]] inline void put_float(u8& type, u64& bits, u64 upper, float x) {
    type = TYPE_FLOAT, bits = upper | std::bit_cast<u32>(x);
}
[[gnu::always_inline]] inline void put_double(u8& type, u64& bits, u64, double x) {
    type = TYPE_DOUBLE, bits = std::bit_cast<u64>(x);
}

// At least `count` entries must be on the stack; too few is the stack underflow the single
// pops would report, with the stack emptied as they would leave it.
template <class R> [[gnu::always_inline]] inline void need(R& r, int count) {
    if (R::checked && r.top < stack + count - 1) {
        r.top = stack - 1;
        fail(r, ERROR_STACK_UNDERFLOW);
    }
}
// Drops the top `count` entries; the entry below them becomes the top one.
[[gnu::always_inline]] inline void drop(registers& r, int count) {
    r.top -= count;
    r.tos_bits = r.top->value.U64;
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
template <class R>
[[gnu::always_inline]] inline void store_local(R& r, variable& local, u8 type, bool wide_value) {
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

// The `count` operand bytes after pc, checked once; pc ends on the last of them.
template <class R> [[gnu::always_inline]] inline const u8* operand_bytes(R& r, int count) {
    if (R::checked &&
        reinterpret_cast<uintptr_t>(r.pc) + count >= reinterpret_cast<uintptr_t>(r.code_end)) {
        r.pc = r.code_end;
        fail(r, FAULT_PAST_CODE_END, code_offset(r.code_end));
    }
    const u8* operand = r.pc + 1;
    r.pc += count;
    return operand;
}
template <class R> [[gnu::always_inline]] inline u8 next_byte(R& r) { return *operand_bytes(r, 1); }
template <class R> [[gnu::always_inline]] inline u16 next_u16(R& r) {
    return operand_u16(operand_bytes(r, 2));
}
template <class R> [[gnu::always_inline]] inline s32 next_s32(R& r) {
    return static_cast<s32>(operand_u32(operand_bytes(r, 4)));
}

// A two-byte branch offset.
[[gnu::always_inline]] inline s16 branch_offset(const u8* operand) {
    return static_cast<s16>(operand_u16(operand));
}

// Leaves pc on the target's opcode, which is inside the code.
template <class R> [[gnu::always_inline]] inline void jump(R& r, const u8* opcode_at, s32 offset) {
    if constexpr (R::checked) {
        const s64 target = (opcode_at - r.code_begin) + static_cast<s64>(offset);
        if (static_cast<u64>(target) >= static_cast<u64>(r.code_end - r.code_begin))
            fail(r, FAULT_JUMP_OUTSIDE_CODE, code_offset(opcode_at), target);
        r.pc = r.code_begin + target;
    } else {
        r.pc = opcode_at + offset; // the proof found the target inside the code
    }
}

// Index operand of the indexed loads, stores and iinc: two bytes after a pending wide.
template <class R> [[gnu::always_inline]] inline u16 local_index_operand(R& r) {
    if (wide_opcode) {
        wide_opcode = false;
        return next_u16(r);
    }
    return next_byte(r);
}
template <class R> [[gnu::always_inline]] inline variable& pool_local(const R& r, u16 index) {
    if (R::checked && index >= max_locals) fail(r, ERROR_LOCAL_OUT_OF_RANGE, index);
    return locals[index];
}

// iinc: only the four register locals exist for it, and it adds to an int only.
template <class R>
[[gnu::always_inline]] inline void increment_register_local(const R& r, unsigned index, s32 delta) {
    if (R::checked && index >= REGISTER_LOCALS) fail(r, ERROR_NOT_A_REGISTER_LOCAL, index);
    variable& local = local_var[index];
    if (local.type != TYPE_INT) [[unlikely]]
        fail(r, ERROR_NOT_AN_INT, local.type);
    local.value.S32 = add32(local.value.S32, delta);
}

// The register local the iload_<n> or istore_<n> at `op` names, `first` being the family's
// opcode for n = 0. Reckoned in size_t, which lets the bias fold into the address.
[[gnu::always_inline]] inline variable& named_register_local(const u8* op, u8 first) {
    return local_var[static_cast<size_t>(*op) - first];
}

// What the istore_<n> at `op` leaves in its register local when it stores the int x (the
// upper value bytes keep what they held, as store_local leaves them).
[[gnu::always_inline]] inline void store_named_int(const u8* op, s32 x) {
    variable& local = named_register_local(op, OP_istore_0);
    local.value.S32 = x;
    local.type = TYPE_INT;
}

// --- constants --------------------------------------------------------------------------

// Values ldc, ldc_w and ldc2_w have pushed, by the place of the instruction's constant
// number in the loaded bytes and the class image whose constants it named. Loaded bytes do
// not change, so the instruction there pushes the same value every time; keyed by that
// place, a hit needs neither the number nor the opcode.
// Only values that were read without a fault are kept, so a failing load always takes the
// checked way again. Cleared whenever a buffer is loaded or the VM reset.
struct pushed_constant {
    const u8* operand = nullptr;
    u32 image = NO_IMAGE; // base of the class image
    variable value{};
};
constexpr u16 CONSTANT_CACHE_ENTRIES = 64; // loads less than 64 bytes apart never share one
pushed_constant constant_cache[CONSTANT_CACHE_ENTRIES];

void clear_constant_cache() {
    std::fill(std::begin(constant_cache), std::end(constant_cache), pushed_constant{});
}

pushed_constant& cached_constant(const u8* operand) {
    return constant_cache[reinterpret_cast<uintptr_t>(operand) % CONSTANT_CACHE_ENTRIES];
}

// The checked read of the constant `op` (ldc, ldc_w or ldc2_w) names at `operand`; kept in
// the cache.
[[gnu::noinline]] variable read_constant(registers r, u8 op, const u8* operand) {
    r.save(); // a damaged image ends the run from inside the reads below
    const u16 index = op == OP_ldc ? operand[0] : operand_u16(operand);
    const constant_load load = load_constant(cf, index, op == OP_ldc2_w);
    switch (load.end) {
    case constant_end::found: break;
    case constant_end::no_constant: fail(r, ERROR_CONSTANT_OUT_OF_RANGE, index);
    case constant_end::wrong_tag:
        fail(r, op == OP_ldc2_w ? ERROR_NOT_LONG_OR_DOUBLE : ERROR_NOT_AN_INT, load.tag);
    }
    const variable v = load.value;
    cached_constant(operand) = {operand, cf.base, v};
    return v;
}

// The value `op` (ldc, ldc_w or ldc2_w) pushes for the constant number at `operand`.
[[gnu::always_inline]] inline variable pool_constant(const registers& r, u8 op, const u8* operand) {
    const pushed_constant& cached = cached_constant(operand);
    if (cached.operand == operand && cached.image == cf.base) return cached.value;
    return read_constant(r, op, operand);
}

// --- activation ----------------------------------------------------------------------------

// Sets max_locals, locals and the code range to `code`, a method's of `cf`: enter_code,
// with error 18 when its window passes the end of the pool, or enter_kept_code, for code
// that was entered before without an error.
[[gnu::always_inline]] inline void enter_kept_code(const code_info& code) {
    max_locals = code.max_locals;
    locals = max_locals != 0 ? &local_var_pool[code.locals] : nullptr;
    code_begin = code.begin;
    code_end = code.end;
}

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
    clear_constant_cache();
    clear_kept_traces();
    counted_runs = nullptr;
    verified_fast_path = true;
    package = nullptr;
    cf = last_cf = class_image{};
    this_class = 0;
    pc = code_begin = code_end = nullptr;
    inc_pc = true;
    function_counter = 0;
    is_debug = mirt_is_running = mirt_init_pending = mirt_start_pending = wide_opcode = false;
    current_frame = activation{};
    std::fill(std::begin(local_var), std::end(local_var), variable{});
    std::fill(std::begin(local_var_pool), std::end(local_var_pool), variable{});
    locals = nullptr;
    max_locals = 0;
    std::fill(std::begin(stack_storage), std::end(stack_storage), variable{});
    std::fill(std::begin(frame), std::end(frame), frame_info{});
    stack_counter = frame_counter = 0;
    quiet = false;
    batch_trace_output = true;
    instructions_executed = 0;
    instruction_limit = NO_INSTRUCTION_LIMIT;
    countdown = MIRT_CHECK_INTERVAL;
    stop_request = 0;
    on_stop = nullptr;
}

void set_stop_handler(stop_handler handler) { on_stop = handler; }

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

// An invokestatic of constant `index`: resolution and activation, from its kept call site
// where there is one. Answers whether the callee's code runs next.
bool call_static(u16 index) {
    call_site& site = call_site_of(cf.base, index);
    if (site.lines.kept && site.image == cf.base && site.constant == index) {
        site.lines.write();
        cf.base = site.callee_image; // the activation sets last_cf
        return activate(site.method, false, &site);
    }
    site.image = cf.base;
    site.constant = index;
    site.entry_kept = site.native_kept = false;
    site.proof = nullptr;
    capture(site.lines);
    site.method = static_cast<u16>(get_method_id_by_reference(index, false));
    site.callee_image = cf.base;
    return activate(site.method, true, &site);
}

// The caller's frame as a call saves it, pc at `at`: its activation and its register locals.
[[gnu::always_inline]] inline void save_caller(frame_info& saved, const u8* at) {
    saved.cf = last_cf;
    saved.pc = at;
    saved.method = current_frame.method;
    for (int i = 0; i < REGISTER_LOCALS; ++i) saved.local_var[i] = local_var[i];
}
frame_info saved_caller() {
    frame_info saved;
    save_caller(saved, pc);
    return saved;
}

// The saved caller runs again: its activation, pc and register locals.
[[gnu::always_inline]] inline void reactivate(const frame_info& saved) {
    current_frame = saved;
    for (int i = 0; i < REGISTER_LOCALS; ++i) local_var[i] = saved.local_var[i];
    pc = saved.pc;
    cf = saved.cf;
    last_cf = saved.cf;
}

// The caller a call pushes, written in its frame in place; at the limit push_frame reports
// the overflow.
void push_caller() {
    if (frame_counter < FRAME_LIMIT)
        save_caller(frame[frame_counter++], pc);
    else
        push_frame(saved_caller());
}
// The caller of a native that returned runs again, from its frame in place.
void pop_caller() {
    if (frame_counter > 0)
        reactivate(frame[--frame_counter]);
    else
        restore_current_frame(pop_frame());
}

} // namespace

bool set_current_frame(u16 method_ref) {
    capturing = nullptr; // not a call site's
    return activate(method_ref, true, nullptr);
}

void restore_frame(const frame_info& saved) {
    reactivate(saved);
    return_line& line = return_line_of(cf.base, saved.method);
    if (line.lines.kept && line.image == cf.base && line.method == saved.method) {
        line.lines.write();
        enter_code(line.code);
        return;
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

// --- the interpreter -------------------------------------------------------------------------

// clang-format off
// Operand pictures: b is the top entry, a the one below it. Each family is written as one
// row per type so that int, long, float and double stay side by side.
#define BINARY(member, put, expr)                                                             \
    {                                                                                         \
        need(r, 2);                                                                           \
        variable& deeper = *--r.top;                                                          \
        const auto a = bits_##member(deeper.value.U64);                                       \
        const auto b = bits_##member(r.tos_bits);                                             \
        put(deeper.type, r.tos_bits, upper_half(deeper.value.U64), expr);                     \
    }
#define UNARY(member, put, expr)                                                              \
    {                                                                                         \
        need(r, 1);                                                                           \
        const auto a = bits_##member(r.tos_bits);                                             \
        put(r.top->type, r.tos_bits, upper_half(r.tos_bits), expr);                           \
    }
#define SHIFT(member, put, expr)                                                              \
    {                                                                                         \
        need(r, 2);                                                                           \
        variable& deeper = *--r.top;                                                          \
        const auto a = bits_##member(deeper.value.U64);                                       \
        const s32 n = bits_S32(r.tos_bits);                                                   \
        put(deeper.type, r.tos_bits, upper_half(deeper.value.U64), expr);                     \
    }
// DIVIDE names the registers' base: cppcheck does not see the fault as the end of the path
// when it is reached through the derived body registers.
#define DIVIDE(member, put, expr)                                                             \
    {                                                                                         \
        need(r, 2);                                                                           \
        const auto b = bits_##member(r.tos_bits);                                             \
        if (b == 0) fail(registers(r), FAULT_DIVISION_BY_ZERO, code_offset(r.pc));            \
        variable& deeper = *--r.top;                                                          \
        const auto a = bits_##member(deeper.value.U64);                                       \
        put(deeper.type, r.tos_bits, upper_half(deeper.value.U64), expr);                     \
    }
#define RETAG(tag)                                                                            \
    {                                                                                         \
        need(r, 1);                                                                           \
        r.top->type = tag;                                                                    \
    }
// The end of a conditional branch whose opcode is at `at` and offset at `operand`. The
// offset is read only when the branch is taken: its bytes were checked with the rest.
#define BRANCH_IF(cond)                                                                       \
    if (cond) {                                                                               \
        leave_rest_of_run(r, runs);                                                           \
        jump(r, at, taken_offset(r, runs, at, operand));                                      \
        vmjump;                                                                               \
    }
#define IF_ZERO(cond)                                                                         \
    {                                                                                         \
        const u8* at = r.pc;                                                                  \
        const u8* operand = operand_bytes(r, 2);                                              \
        const s32 a = pop(r).value.S32;                                                       \
        BRANCH_IF(cond)                                                                       \
    }
#define IF_CMP(cond)                                                                          \
    {                                                                                         \
        const u8* at = r.pc;                                                                  \
        const u8* operand = operand_bytes(r, 2);                                              \
        need(r, 2);                                                                           \
        const s32 a = r.top[-1].value.S32;                                                    \
        const s32 b = bits_S32(r.tos_bits);                                                   \
        drop(r, 2);                                                                           \
        BRANCH_IF(cond)                                                                       \
    }

// iinc without a wide prefix.
#define INCREMENT                                                                             \
    {                                                                                         \
        const u8* p = operand_bytes(r, 2);                                                    \
        increment_register_local(r, p[0], static_cast<s8>(p[1]));                             \
    }
#define GOTO                                                                                  \
    {                                                                                         \
        const u8* at = r.pc;                                                                  \
        const u8* operand = operand_bytes(r, 2);                                              \
        jump(r, at, taken_offset(r, runs, at, operand));                                      \
        vmjump;                                                                               \
    }
// The fused steps read their register locals by the opcodes that name them and leave every
// entry and local as their instructions one by one would, but for the entries above the top
// (pushed and popped again), which nothing reads. pc starts on the first opcode.
#define COMPARE_LOCALS(cond)                                                                  \
    {                                                                                         \
        const s32 a = named_register_local(r.pc + 0, OP_iload_0).value.S32;                   \
        const s32 b = named_register_local(r.pc + 1, OP_iload_0).value.S32;                   \
        r.pc += 2; /* on the if_icmp<cond> */                                                 \
        const u8* at = r.pc;                                                                  \
        const u8* operand = operand_bytes(r, 2);                                              \
        BRANCH_IF(cond)                                                                       \
    }
#define COMPARE_LOCAL_CONSTANT(cond)                                                          \
    {                                                                                         \
        const s32 a = named_register_local(r.pc, OP_iload_0).value.S32;                       \
        const s32 b = step_int(runs, r.pc + 1);                                               \
        r.pc += 3; /* on the if_icmp<cond> */                                                 \
        const u8* at = r.pc;                                                                  \
        const u8* operand = operand_bytes(r, 2);                                              \
        BRANCH_IF(cond)                                                                       \
    }
#define COMPARE_BRANCH(member, cond)                                                          \
    {                                                                                         \
        const s32 a = compare3(bits_##member(r.top[-1].value.U64), bits_##member(r.tos_bits));\
        ++r.pc; /* on the if<cond> */                                                         \
        const u8* at = r.pc;                                                                  \
        const u8* operand = operand_bytes(r, 2);                                              \
        drop(r, 2);                                                                           \
        BRANCH_IF(cond)                                                                       \
    }
// b is the constant, a the top entry, which the result replaces as BINARY and SHIFT have it.
#define CONSTANT_OPERATION(length, member, put, expr)                                         \
    {                                                                                         \
        const auto a = bits_##member(r.tos_bits);                                             \
        const s32 b = step_int(runs, r.pc);                                                   \
        r.pc += (length); /* on the operation */                                              \
        put(r.top->type, r.tos_bits, upper_half(r.tos_bits), expr);                           \
    }
// a the register local, b the constant; the result is pushed, as the local would be before
// the operation replaces it.
#define LOCAL_CONSTANT_OPERATION(length, expr)                                                \
    {                                                                                         \
        const s32 a = named_register_local(r.pc, OP_iload_0).value.S32;                       \
        const s32 b = step_int(runs, r.pc + 1);                                               \
        r.pc += 1 + (length); /* on the operation */                                          \
        push(r, make_entry(TYPE_INT, &var_data::S32, (expr)));                                \
    }
// a the deeper entry, b the top one (the shift distance of a shift), as BINARY and SHIFT
// have them; both are popped and the result stored as istore_<c> stores it.
#define OPERATION_STORE(expr)                                                                 \
    {                                                                                         \
        const s32 a = bits_S32(r.top[-1].value.U64);                                          \
        const s32 b = bits_S32(r.tos_bits);                                                   \
        store_named_int(r.pc + 1, (expr));                                                    \
        drop(r, 2);                                                                           \
        r.pc += 1; /* on the istore_<c> */                                                    \
    }
#define ASSIGN(expr)                                                                          \
    {                                                                                         \
        const s32 a = named_register_local(r.pc + 0, OP_iload_0).value.S32;                   \
        const s32 b = named_register_local(r.pc + 1, OP_iload_0).value.S32;                   \
        store_named_int(r.pc + 3, (expr));                                                    \
        r.pc += 3; /* on the istore_<c> */                                                    \
    }

// Dispatch is threaded: every handler ends by fetching and dispatching the next opcode
// itself through a table of handler addresses, so no shared loop head and no range test
// of the opcode stand between two instructions.
//   vmcase(name)  the handler's label
//   vmbreak       the instruction is done, pc is on its last byte
//   vmjump        the instruction is done, pc is on a checked branch target inside the code
//   vmenter       the instruction is done, pc is where a callee's code begins (and ends,
//                 when it has none)
//   vmresume      the instruction is done, pc is on its last byte in the caller's code
//   vmgo_on       the unchecked body made a call or return itself, pc is on the opcode to
//                 run next
// All print the trace after the instruction when tracing. A single step returns there
// instead of going on; its caller advances pc when inc_pc says so. After a call or a
// return a run looks whether the code it goes on in belongs to the other body, and returns
// to change to it; a checked run looks again whenever its countdown ran out. The unchecked
// body counts calls and returns one by one and every other instruction with the straight
// run it begins (after a goto, a taken branch, a call or a return); a run that would reach
// the end of the countdown goes to the checked body, which counts each instruction up to it.
//   vmfused(name) a fused step's handler; the threaded checked bodies, which never dispatch
//                 to one, have only a jump to the unknown-opcode path there, not its code
// Built with MIRT_THREADED_DISPATCH=0 the same body is one switch (for compilers and
// analysers without label addresses): vmcase is a case label, and dispatching goes back to
// the switch.
#ifndef MIRT_THREADED_DISPATCH
#define MIRT_THREADED_DISPATCH 1
#endif
#if MIRT_THREADED_DISPATCH
#define vmcase(name)  op_##name:
#define vmfused(name) op_fused_##name: if constexpr (checked) goto op_unnamed; else
#define vmdefault     op_unnamed:
#define vmdispatch    goto* dispatch[op]
#define vmswitch      vmdispatch;
#define vmswitch_end
#else
#define vmcase(name)  case OP_##name:
#define vmfused(name) case FUSED_##name:
#define vmdefault     default:
#define vmdispatch    goto dispatch_switch
#define vmswitch      dispatch_switch: __attribute__((unused)); switch (op) {
#define vmswitch_end  }
#endif
// The unchecked body counts the run that begins at pc, or changes body where the countdown
// would run out in it (the run at pc is then not counted).
#define vmcount_run                                                                           \
    if (!begin_run(r, runs)) {                                                                \
        counted_runs = nullptr;                                                               \
        r.save();                                                                             \
        return true;                                                                          \
    }
#define vmend(advance_pc, check_pc, resumes, starts_run)                                      \
    do {                                                                                      \
        if constexpr (trace) {                                                                \
            r.save();                                                                         \
            print_instruction_trace(op, local_var);                                           \
        }                                                                                     \
        if (checked || (resumes)) {                                                           \
            if (--r.left == 0) [[unlikely]] {                                                 \
                r.save();                                                                     \
                countdown_expired((advance_pc));                                              \
                r.load();                                                                     \
                if constexpr (checked && !one_step && !trace) {                               \
                    const u8* next = r.pc + ((advance_pc) ? 1 : 0);                           \
                    if (unchecked_proof(next, depth(r))) {                                    \
                        r.pc = next;                                                          \
                        r.save();                                                             \
                        return true;                                                          \
                    }                                                                         \
                }                                                                             \
            }                                                                                 \
        }                                                                                     \
        if constexpr (one_step) {                                                             \
            r.save();                                                                         \
            inc_pc = (advance_pc);                                                            \
            return true;                                                                      \
        } else {                                                                              \
            if ((advance_pc)) ++r.pc;                                                         \
            if constexpr ((resumes) && !trace) {                                              \
                const method_proof* proof = unchecked_proof(r.pc, depth(r));                  \
                if ((proof != nullptr) == checked) {                                          \
                    r.save();                                                                 \
                    return true;                                                              \
                }                                                                             \
                if constexpr (!checked) set_runs(runs, proof_steps(*proof), r.code_begin);    \
            }                                                                                 \
            if constexpr (!checked && ((resumes) || (starts_run))) {                          \
                vmcount_run;                                                                  \
            }                                                                                 \
            if ((check_pc) && checked && r.pc >= r.code_end)                                  \
                fail(r, FAULT_PAST_CODE_END, code_offset(r.code_end));                        \
            op = next_handler(r, runs);                                                       \
            vmdispatch;                                                                       \
        }                                                                                     \
    } while (0)
#define vmbreak   vmend(true, true, false, false)
#define vmjump    vmend(false, false, false, true)
#define vmenter   vmend(false, true, true, false)
#define vmresume  vmend(true, true, true, false)
// The unchecked body's own call or return into code it goes on in is done and counted, pc
// on the opcode to run next: it counts the run that begins there, as vmenter and vmresume.
#define vmgo_on                                                                               \
    do {                                                                                      \
        vmcount_run;                                                                          \
        op = next_handler(r, runs);                                                           \
        vmdispatch;                                                                           \
    } while (0)

// clang-format on

namespace {

// The running method's proof when it allows the unchecked body to go on from `at` with
// `depth` entries on the stack (see mirt_proof.h); else null.
// Inline: every call and return asks.
[[gnu::always_inline]] inline const method_proof* unchecked_proof(const u8* at, int depth) {
    if (!verified_fast_path || !code_begin || at < code_begin || at >= code_end) return nullptr;
    const method_proof* proof = proof_of(cf, current_frame.method, [] {
        return code_info{max_locals, 0, code_begin, code_end};
    });
    if (!proof || !proof_allows(*proof, static_cast<u32>(at - code_begin), depth, wide_opcode))
        return nullptr;
    return proof;
}

// The steps of the running method as the unchecked body reads them: by the address of the
// code byte rather than by its offset, which spares a subtraction at every branch and
// dispatch. An integer, not a pointer: the bias leads far outside the array, and only the
// sum for an address inside the code names one of its entries.
using run_table = uintptr_t;
[[gnu::always_inline]] inline run_table run_table_of(const code_step* steps, const u8* code_begin) {
    return reinterpret_cast<uintptr_t>(steps) -
           sizeof(code_step) * reinterpret_cast<uintptr_t>(code_begin);
}
[[gnu::always_inline]] inline const code_step& step_at(run_table runs, const u8* at) {
    return *reinterpret_cast<const code_step*>(runs +
                                               sizeof(code_step) * reinterpret_cast<uintptr_t>(at));
}
// The value of the step at `at` as the signed int it holds there: a kept int constant or a
// branch offset (see code_step::value).
[[gnu::always_inline]] inline s32 step_int(run_table runs, const u8* at) {
    return static_cast<s32>(step_at(runs, at).value);
}

// The value the constant load at `at` pushes, with `tag`, as the pass read it (see
// code_step::value); `two_words`: an ldc2_w's.
[[gnu::always_inline]] inline variable known_constant(run_table runs, const u8* at, u8 tag,
                                                      bool two_words) {
    variable v = typed(tag);
    v.value.U64 = step_at(runs, at).value;
    if (two_words) v.value.U64 |= u64{step_at(runs, at + 1).value} << 32;
    return v;
}

// Makes `steps` the running method's steps; the interpreter keeps this copy of counted_runs
// in a register.
[[gnu::always_inline]] inline void set_runs(run_table& runs, const code_step* steps,
                                            const u8* code_begin) {
    counted_runs = steps;
    runs = run_table_of(steps, code_begin);
}

// Counts the straight run that begins at pc, unless the countdown would run out in it.
[[gnu::always_inline]] inline bool begin_run(registers& r, run_table runs) {
    const u16 length = step_at(runs, r.pc).run;
    if (r.left <= length) return false;
    r.left -= length;
    return true;
}

// A run goes on through the conditional branches in it. One taken leaves out what the run
// counted after it: the run of the instruction that follows the branch, whose last byte pc
// is on. The checked body counts each instruction and has nothing to give back.
template <class R> [[gnu::always_inline]] inline void leave_rest_of_run(R& r, run_table runs) {
    if constexpr (!R::checked) r.left += step_at(runs, r.pc + 1).run;
}

// The offset of the two-byte branch or goto whose opcode is at `at` and operand at
// `operand`: the unchecked body finds it decoded in the branch's step.
template <class R>
[[gnu::always_inline]] inline s32 taken_offset(const R&, run_table runs, const u8* at,
                                               const u8* operand) {
    if constexpr (R::checked)
        return branch_offset(operand);
    else
        return step_int(runs, at);
}

// The handler of the instruction at pc: the unchecked body's step there, which may be a
// fused one; the opcode in the checked body.
template <class R> [[gnu::always_inline]] inline unsigned next_handler(const R& r, run_table runs) {
    if constexpr (R::checked)
        return *r.pc;
    else
        return step_at(runs, r.pc).handler;
}

[[gnu::always_inline]] inline int depth(const registers& r) {
    return static_cast<int>(r.top - stack + 1);
}

// The proof of `method` of `image` with code `code`, looked up once for a kept site.
[[gnu::always_inline]] inline const method_proof*
kept_proof(const method_proof*& kept, const class_image& image, u16 method, const code_info& code) {
    if (!kept) kept = proof_of(image, method, [&] { return code; });
    return kept;
}

// Calls and returns the unchecked body makes without leaving its registers: a call through
// a kept call site into a Java callee, and a return into a method whose return line is
// kept, each into code the unchecked body may run on at the depth it finds. They leave
// every piece of state as call_static and activate, or restore_frame, leave it, and are
// taken only where none of their checks could fail: a free frame, the parameters on the
// stack, and instructions left before the countdown runs out. Otherwise they answer false
// and have changed nothing. pc is on the call's last operand byte, or on the return.
[[gnu::always_inline]] inline bool enter_kept_call(registers& r, run_table& runs, u16 index) {
    call_site& site = call_site_of(cf.base, index);
    if (!site.entry_kept || !site.lines.kept || site.image != cf.base || site.constant != index)
        return false;
    const int count = site.parameters.count;
    const int entry = depth(r) - count;
    if (frame_counter >= FRAME_LIMIT || entry < 0 || r.left <= 1) return false;
    const class_image callee{cf.bytes, site.callee_image};
    const method_proof* proof = kept_proof(site.proof, callee, site.method, site.code);
    if (!proof || !inline_proof_allows(*proof, 0, entry, wide_opcode)) return false;

    site.lines.write_pending();
    save_caller(frame[frame_counter++], r.pc);
    r.top->value.U64 = r.tos_bits; // the parameters move whole, last first
    for (int i = count; i > 0;) local_var[site.parameters.slot_of[--i]] = *r.top--;
    r.tos_bits = r.top->value.U64;
    cf = last_cf = callee;
    enter_kept_code(site.code);
    current_frame.cf = callee; // by member: a whole temporary is stored and read back apart
    current_frame.pc = site.code.begin;
    current_frame.method = site.method;
    r.pc = r.code_begin = site.code.begin;
    r.code_end = site.code.end;
    ++function_counter;
    --r.left; // the call
    set_runs(runs, proof_steps(*proof), r.code_begin);
    return true;
}

[[gnu::always_inline]] inline bool return_to_kept(registers& r, run_table& runs) {
    if (frame_counter == 0 || r.left <= 1) return false;
    const frame_info& caller = frame[frame_counter - 1];
    return_line& line = return_line_of(caller.cf.base, caller.method);
    if (!line.lines.kept || line.image != caller.cf.base || line.method != caller.method)
        return false;
    const method_proof* proof = kept_proof(line.proof, caller.cf, caller.method, line.code);
    const u8* next = caller.pc + 1;
    if (!proof || !inline_proof_allows(*proof, static_cast<u32>(next - line.code.begin), depth(r),
                                       wide_opcode))
        return false;

    --frame_counter;
    reactivate(caller); // also pc, which the registers hold
    line.lines.write_pending();
    enter_kept_code(line.code);
    r.code_begin = line.code.begin;
    r.code_end = line.code.end;
    r.pc = next;
    --function_counter;
    --r.left; // the return
    set_runs(runs, proof_steps(*proof), r.code_begin);
    return true;
}

// The interpreter. A single step (`one_step`) executes the instruction `first_op` at pc and
// returns, leaving pc on its last byte or on the opcode to run next (inc_pc tells which);
// a run fetches its own opcodes from pc and returns after the return from main, with pc
// past it (answering false), or where it changes body (answering true, pc on the opcode to
// run next). `trace` prints the trace line after every instruction. Single steps and
// traced runs are always `checked`.
// Aligned to a cache line: where the handlers fall relative to line and fetch-block
// boundaries changes the time of a dispatch-bound loop by a quarter, and otherwise moved
// with every change to the code placed before the function.
template <bool trace, bool one_step, bool checked>
[[gnu::aligned(64)]] bool interpret(u8 first_op) {
    static_assert(checked || (!trace && !one_step));
#if MIRT_THREADED_DISPATCH
#define MIRT_HANDLER_ADDRESS(value, name, ...) &&op_##name,
#define MIRT_UNNAMED_ADDRESS(value)            &&op_unnamed,
#define MIRT_FUSED_ADDRESS(name)               &&op_fused_##name,
    static const void* const dispatch[] = {MIRT_OPCODE_LIST(MIRT_HANDLER_ADDRESS)
                                               MIRT_UNNAMED_OPCODE_LIST(MIRT_UNNAMED_ADDRESS)
                                                   MIRT_FUSED_STEP_LIST(MIRT_FUSED_ADDRESS)};
#undef MIRT_HANDLER_ADDRESS
#undef MIRT_UNNAMED_ADDRESS
#undef MIRT_FUSED_ADDRESS
    static_assert(std::size(dispatch) == HANDLER_COUNT, "every byte value needs a handler");
#endif

    body_registers<checked> r{};
    r.load();
    unsigned op = first_op;              // as wide as a register: it indexes the table directly
    [[maybe_unused]] run_table runs = 0; // the unchecked body's counted_runs
    if constexpr (!checked) {
        const method_proof* proof = unchecked_proof(r.pc, depth(r));
        if (!proof) return true;
        set_runs(runs, proof_steps(*proof), r.code_begin);
        if (!begin_run(r, runs)) {
            counted_runs = nullptr;
            return true;
        }
    }
    if constexpr (!one_step) {
        if (r.pc >= r.code_end) fail(r, FAULT_PAST_CODE_END, code_offset(r.code_end));
        op = next_handler(r, runs);
    }
    vmswitch

        // The opcode families are kept as aligned rows.
        // clang-format off

    // constants
    vmcase(nop) vmbreak;
    vmcase(aconst_null) push(r, typed(TYPE_VOID)); vmbreak;
    vmcase(iconst_m1) push(r, int_entry(-1));     vmbreak;
    vmcase(iconst_0)  push(r, int_entry(0));      vmbreak;
    vmcase(iconst_1)  push(r, int_entry(1));      vmbreak;
    vmcase(iconst_2)  push(r, int_entry(2));      vmbreak;
    vmcase(iconst_3)  push(r, int_entry(3));      vmbreak;
    vmcase(iconst_4)  push(r, int_entry(4));      vmbreak;
    vmcase(iconst_5)  push(r, int_entry(5));      vmbreak;
    vmcase(lconst_0)  push(r, long_entry(0));     vmbreak;
    vmcase(lconst_1)  push(r, long_entry(1));     vmbreak;
    vmcase(fconst_0)  push(r, float_entry(0.0f)); vmbreak;
    vmcase(fconst_1)  push(r, float_entry(1.0f)); vmbreak;
    vmcase(fconst_2)  push(r, float_entry(2.0f)); vmbreak;
    vmcase(dconst_0)  push(r, double_entry(0.0)); vmbreak;
    vmcase(dconst_1)  push(r, double_entry(1.0)); vmbreak;
    vmcase(bipush) push(r, int_entry(static_cast<s8>(next_byte(r)))); vmbreak;
    vmcase(sipush) push(r, int_entry(static_cast<s16>(next_u16(r)))); vmbreak;
    vmcase(ldc)    push(r, pool_constant(r, OP_ldc,    operand_bytes(r, 1))); vmbreak;
    vmcase(ldc_w)  push(r, pool_constant(r, OP_ldc_w,  operand_bytes(r, 2))); vmbreak;
    vmcase(ldc2_w) push(r, pool_constant(r, OP_ldc2_w, operand_bytes(r, 2))); vmbreak;

    // loads: indexed forms reach the method's pool slice, one-byte forms the registers
    vmcase(iload) push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_INT, false)); vmbreak;
    vmcase(lload) push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_LONG, true)); vmbreak;
    vmcase(fload) push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_FLOAT, false)); vmbreak;
    vmcase(dload) push(r, load_local(pool_local(r, local_index_operand(r)), TYPE_DOUBLE, true)); vmbreak;
    vmcase(iload_0)  push(r, load_local(local_var[0], TYPE_INT,    false)); vmbreak;
    vmcase(lload_0)  push(r, load_local(local_var[0], TYPE_LONG,   true )); vmbreak;
    vmcase(fload_0)  push(r, load_local(local_var[0], TYPE_FLOAT,  false)); vmbreak;
    vmcase(dload_0)  push(r, load_local(local_var[0], TYPE_DOUBLE, true )); vmbreak;
    vmcase(iload_1)  push(r, load_local(local_var[1], TYPE_INT,    false)); vmbreak;
    vmcase(lload_1)  push(r, load_local(local_var[1], TYPE_LONG,   true )); vmbreak;
    vmcase(fload_1)  push(r, load_local(local_var[1], TYPE_FLOAT,  false)); vmbreak;
    vmcase(dload_1)  push(r, load_local(local_var[1], TYPE_DOUBLE, true )); vmbreak;
    vmcase(iload_2)  push(r, load_local(local_var[2], TYPE_INT,    false)); vmbreak;
    vmcase(lload_2)  push(r, load_local(local_var[2], TYPE_LONG,   true )); vmbreak;
    vmcase(fload_2)  push(r, load_local(local_var[2], TYPE_FLOAT,  false)); vmbreak;
    vmcase(dload_2)  push(r, load_local(local_var[2], TYPE_DOUBLE, true )); vmbreak;
    vmcase(iload_3)  push(r, load_local(local_var[3], TYPE_INT,    false)); vmbreak;
    vmcase(lload_3)  push(r, load_local(local_var[3], TYPE_LONG,   true )); vmbreak;
    vmcase(fload_3)  push(r, load_local(local_var[3], TYPE_FLOAT,  false)); vmbreak;
    vmcase(dload_3)  push(r, load_local(local_var[3], TYPE_DOUBLE, true )); vmbreak;

    // stores: the index range is checked before the pop
    vmcase(istore) store_local(r, pool_local(r, local_index_operand(r)), TYPE_INT, false); vmbreak;
    vmcase(lstore) store_local(r, pool_local(r, local_index_operand(r)), TYPE_LONG, true); vmbreak;
    vmcase(fstore) store_local(r, pool_local(r, local_index_operand(r)), TYPE_FLOAT, false); vmbreak;
    vmcase(dstore) store_local(r, pool_local(r, local_index_operand(r)), TYPE_DOUBLE, true); vmbreak;
    vmcase(istore_0) store_local(r, local_var[0], TYPE_INT,    false); vmbreak;
    vmcase(lstore_0) store_local(r, local_var[0], TYPE_LONG,   true ); vmbreak;
    vmcase(fstore_0) store_local(r, local_var[0], TYPE_FLOAT,  false); vmbreak;
    vmcase(dstore_0) store_local(r, local_var[0], TYPE_DOUBLE, true ); vmbreak;
    vmcase(istore_1) store_local(r, local_var[1], TYPE_INT,    false); vmbreak;
    vmcase(lstore_1) store_local(r, local_var[1], TYPE_LONG,   true ); vmbreak;
    vmcase(fstore_1) store_local(r, local_var[1], TYPE_FLOAT,  false); vmbreak;
    vmcase(dstore_1) store_local(r, local_var[1], TYPE_DOUBLE, true ); vmbreak;
    vmcase(istore_2) store_local(r, local_var[2], TYPE_INT,    false); vmbreak;
    vmcase(lstore_2) store_local(r, local_var[2], TYPE_LONG,   true ); vmbreak;
    vmcase(fstore_2) store_local(r, local_var[2], TYPE_FLOAT,  false); vmbreak;
    vmcase(dstore_2) store_local(r, local_var[2], TYPE_DOUBLE, true ); vmbreak;
    vmcase(istore_3) store_local(r, local_var[3], TYPE_INT,    false); vmbreak;
    vmcase(lstore_3) store_local(r, local_var[3], TYPE_LONG,   true ); vmbreak;
    vmcase(fstore_3) store_local(r, local_var[3], TYPE_FLOAT,  false); vmbreak;
    vmcase(dstore_3) store_local(r, local_var[3], TYPE_DOUBLE, true ); vmbreak;

    // stack manipulation: entries move whole; only pop2 looks at a tag
    vmcase(pop) pop(r); vmbreak;
    vmcase(pop2) {
        const variable x1 = pop(r);
        if (x1.type != TYPE_LONG && x1.type != TYPE_DOUBLE) pop(r);
        vmbreak;
    }
    vmcase(dup) {
        const variable x1 = pop(r);
        push(r, x1), push(r, x1);
        vmbreak;
    }
    vmcase(dup_x1) {
        const variable x1 = pop(r), x2 = pop(r);
        push(r, x1), push(r, x2), push(r, x1);
        vmbreak;
    }
    vmcase(dup_x2) {
        const variable x1 = pop(r), x2 = pop(r), x3 = pop(r);
        push(r, x1), push(r, x3), push(r, x2), push(r, x1);
        vmbreak;
    }
    vmcase(dup2) {
        const variable x1 = pop(r), x2 = pop(r);
        push(r, x2), push(r, x1), push(r, x2), push(r, x1);
        vmbreak;
    }
    vmcase(dup2_x1) {
        const variable x1 = pop(r), x2 = pop(r), x3 = pop(r);
        push(r, x2), push(r, x1), push(r, x3), push(r, x2), push(r, x1);
        vmbreak;
    }
    vmcase(dup2_x2) {
        const variable x1 = pop(r), x2 = pop(r), x3 = pop(r), x4 = pop(r);
        push(r, x2), push(r, x1), push(r, x4), push(r, x3), push(r, x2), push(r, x1);
        vmbreak;
    }
    vmcase(swap) {
        const variable x1 = pop(r), x2 = pop(r);
        push(r, x1), push(r, x2);
        vmbreak;
    }

    // arithmetic
    vmcase(iadd) BINARY(S32, put_int,    add32(a, b))     vmbreak;
    vmcase(ladd) BINARY(S64, put_long,   add64(a, b))     vmbreak;
    vmcase(fadd) BINARY(F,   put_float,  a + b)           vmbreak;
    vmcase(dadd) BINARY(D,   put_double, a + b)           vmbreak;
    vmcase(isub) BINARY(S32, put_int,    sub32(a, b))     vmbreak;
    vmcase(lsub) BINARY(S64, put_long,   sub64(a, b))     vmbreak;
    vmcase(fsub) BINARY(F,   put_float,  a - b)           vmbreak;
    vmcase(dsub) BINARY(D,   put_double, a - b)           vmbreak;
    vmcase(imul) BINARY(S32, put_int,    mul32(a, b))     vmbreak;
    vmcase(lmul) BINARY(S64, put_long,   mul64(a, b))     vmbreak;
    vmcase(fmul) BINARY(F,   put_float,  a * b)           vmbreak;
    vmcase(dmul) BINARY(D,   put_double, a * b)           vmbreak;
    vmcase(idiv) DIVIDE(S32, put_int,    div32(a, b))     vmbreak;
    vmcase(ldiv) DIVIDE(S64, put_long,   div64(a, b))     vmbreak;
    vmcase(fdiv) BINARY(F,   put_float,  a / b)           vmbreak;
    vmcase(ddiv) BINARY(D,   put_double, a / b)           vmbreak;
    vmcase(irem) DIVIDE(S32, put_int,    rem32(a, b))     vmbreak;
    vmcase(lrem) DIVIDE(S64, put_long,   rem64(a, b))     vmbreak;
    vmcase(ineg) UNARY(S32,  put_int,    neg32(a))        vmbreak;
    vmcase(lneg) UNARY(S64,  put_long,   neg64(a))        vmbreak;
    vmcase(fneg) UNARY(F,    put_float,  neg_float(a))    vmbreak;
    vmcase(dneg) UNARY(D,    put_double, neg_double(a))   vmbreak;

    // shifts (the count is always an int) and bitwise logic
    vmcase(ishl)  SHIFT(S32,  put_int,   shl32(a, n))     vmbreak;
    vmcase(lshl)  SHIFT(S64,  put_long,  shl64(a, n))     vmbreak;
    vmcase(ishr)  SHIFT(S32,  put_int,   shr32(a, n))     vmbreak;
    vmcase(lshr)  SHIFT(S64,  put_long,  shr64(a, n))     vmbreak;
    vmcase(iushr) SHIFT(S32,  put_int,   ushr32(a, n))    vmbreak;
    vmcase(lushr) SHIFT(S64,  put_long,  ushr64(a, n))    vmbreak;
    vmcase(iand)  BINARY(S32, put_int,   a & b)           vmbreak;
    vmcase(land)  BINARY(S64, put_long,  a & b)           vmbreak;
    vmcase(ior)   BINARY(S32, put_int,   a | b)           vmbreak;
    vmcase(lor)   BINARY(S64, put_long,  a | b)           vmbreak;
    vmcase(ixor)  BINARY(S32, put_int,   a ^ b)           vmbreak;
    vmcase(lxor)  BINARY(S64, put_long,  a ^ b)           vmbreak;

    vmcase(iinc) {
        // index and delta: a byte each, two bytes each after a pending wide; each form ends
        // on its own, so that pc moves on once
        if (wide_opcode) [[unlikely]] {
            wide_opcode = false;
            const u8* p = operand_bytes(r, 4);
            increment_register_local(r, operand_u16(p), static_cast<s16>(operand_u16(p + 2)));
            vmbreak;
        }
        INCREMENT vmbreak;
    }

    // conversions; the narrowing ones only retag, the value bytes stay as they were
    vmcase(i2l) UNARY(S32, put_long,   a)                      vmbreak;
    vmcase(i2f) UNARY(S32, put_float,  static_cast<float>(a))  vmbreak;
    vmcase(i2d) UNARY(S32, put_double, a)                      vmbreak;
    vmcase(l2i) UNARY(S64, put_int,    static_cast<s32>(a))    vmbreak;
    vmcase(l2f) UNARY(S64, put_float,  static_cast<float>(a))  vmbreak;
    vmcase(l2d) UNARY(S64, put_double, static_cast<double>(a)) vmbreak;
    vmcase(f2i) UNARY(F,   put_int,    double_to_int(a))       vmbreak;
    vmcase(f2l) UNARY(F,   put_long,   double_to_long(a))      vmbreak;
    vmcase(f2d) UNARY(F,   put_double, a)                      vmbreak;
    vmcase(d2i) UNARY(D,   put_int,    double_to_int(a))       vmbreak;
    vmcase(d2l) UNARY(D,   put_long,   double_to_long(a))      vmbreak;
    vmcase(d2f) UNARY(D,   put_float,  double_to_float(a))     vmbreak;
    vmcase(i2b) RETAG(TYPE_BYTE)  vmbreak;
    vmcase(i2c) RETAG(TYPE_CHAR)  vmbreak;
    vmcase(i2s) RETAG(TYPE_SHORT) vmbreak;

    // comparisons: NaN compares as 0 for both the l and the g forms
    vmcase(lcmp)  BINARY(S64, put_int, compare3(a, b)) vmbreak;
    vmcase(fcmpl)
    vmcase(fcmpg) BINARY(F,   put_int, compare3(a, b)) vmbreak;
    vmcase(dcmpl)
    vmcase(dcmpg) BINARY(D,   put_int, compare3(a, b)) vmbreak;

    // branches
    vmcase(ifeq)      IF_ZERO(a == 0) vmbreak;
    vmcase(ifne)      IF_ZERO(a != 0) vmbreak;
    vmcase(iflt)      IF_ZERO(a < 0)  vmbreak;
    vmcase(ifge)      IF_ZERO(a >= 0) vmbreak;
    vmcase(ifgt)      IF_ZERO(a > 0)  vmbreak;
    vmcase(ifle)      IF_ZERO(a <= 0) vmbreak;
    vmcase(if_icmpeq) IF_CMP(a == b)  vmbreak;
    vmcase(if_icmpne) IF_CMP(a != b)  vmbreak;
    vmcase(if_icmplt) IF_CMP(a < b)   vmbreak;
    vmcase(if_icmpge) IF_CMP(a >= b)  vmbreak;
    vmcase(if_icmpgt) IF_CMP(a > b)   vmbreak;
    vmcase(if_icmple) IF_CMP(a <= b)  vmbreak;
    vmcase(goto) GOTO;
    vmcase(goto_w) {
        const u8* at = r.pc;
        jump(r, at, next_s32(r));
        vmjump;
    }

    // returns: the value, if any, stays on the shared operand stack for the caller
    vmcase(ireturn)
    vmcase(lreturn)
    vmcase(freturn)
    vmcase(dreturn)
    vmcase(return) {
        if constexpr (!checked) {
            if (return_to_kept(r, runs)) vmgo_on;
        }
        frame_info caller = pop_frame();
        if (!caller.pc) { // main returns: no trace for this instruction
            function_counter = 0;
            if constexpr (!one_step) ++r.pc; // the advance of its step
            --r.left;                        // counted, though nothing runs after it
            counted_runs = nullptr;                // and pc has left the code of the run
            r.save();
            inc_pc = true;
            return false;
        }
        r.save();
        restore_frame(caller);
        r.load();
        --function_counter;
        vmresume; // pc is back on the caller's invokestatic
    }

    vmcase(invokestatic) {
        const u16 index = next_u16(r);
        if constexpr (!checked) {
            if (enter_kept_call(r, runs, index)) vmgo_on;
        }
        r.save(); // activation and natives work on pc and the stack
        update_current_frame();
        push_caller();
        if (call_static(index)) {
            ++function_counter;
            r.load();
            vmenter; // pc is on the callee's first opcode, if its code has any
        }
        pop_caller();
        r.load();
        // A drive function may ask for the stop (the emulated clock passed its bound): the
        // run stops right after this call, not some instructions later.
        if (stop_request) [[unlikely]] r.left = countdown = 1;
        vmresume;
    }

    vmcase(wide) wide_opcode = true; vmbreak;

    // fused steps, which only the unchecked body's steps name
    vmfused(compare_locals_eq) COMPARE_LOCALS(a == b) vmbreak;
    vmfused(compare_locals_ne) COMPARE_LOCALS(a != b) vmbreak;
    vmfused(compare_locals_lt) COMPARE_LOCALS(a < b)  vmbreak;
    vmfused(compare_locals_ge) COMPARE_LOCALS(a >= b) vmbreak;
    vmfused(compare_locals_gt) COMPARE_LOCALS(a > b)  vmbreak;
    vmfused(compare_locals_le) COMPARE_LOCALS(a <= b) vmbreak;
    vmfused(compare_local_constant_eq) COMPARE_LOCAL_CONSTANT(a == b) vmbreak;
    vmfused(compare_local_constant_ne) COMPARE_LOCAL_CONSTANT(a != b) vmbreak;
    vmfused(compare_local_constant_lt) COMPARE_LOCAL_CONSTANT(a < b)  vmbreak;
    vmfused(compare_local_constant_ge) COMPARE_LOCAL_CONSTANT(a >= b) vmbreak;
    vmfused(compare_local_constant_gt) COMPARE_LOCAL_CONSTANT(a > b)  vmbreak;
    vmfused(compare_local_constant_le) COMPARE_LOCAL_CONSTANT(a <= b) vmbreak;
    vmfused(lcmp_ifeq)  COMPARE_BRANCH(S64, a == 0) vmbreak;
    vmfused(lcmp_ifne)  COMPARE_BRANCH(S64, a != 0) vmbreak;
    vmfused(lcmp_iflt)  COMPARE_BRANCH(S64, a < 0)  vmbreak;
    vmfused(lcmp_ifge)  COMPARE_BRANCH(S64, a >= 0) vmbreak;
    vmfused(lcmp_ifgt)  COMPARE_BRANCH(S64, a > 0)  vmbreak;
    vmfused(lcmp_ifle)  COMPARE_BRANCH(S64, a <= 0) vmbreak;
    vmfused(fcmp_ifeq)  COMPARE_BRANCH(F,   a == 0) vmbreak;
    vmfused(fcmp_ifne)  COMPARE_BRANCH(F,   a != 0) vmbreak;
    vmfused(fcmp_iflt)  COMPARE_BRANCH(F,   a < 0)  vmbreak;
    vmfused(fcmp_ifge)  COMPARE_BRANCH(F,   a >= 0) vmbreak;
    vmfused(fcmp_ifgt)  COMPARE_BRANCH(F,   a > 0)  vmbreak;
    vmfused(fcmp_ifle)  COMPARE_BRANCH(F,   a <= 0) vmbreak;
    vmfused(dcmp_ifeq)  COMPARE_BRANCH(D,   a == 0) vmbreak;
    vmfused(dcmp_ifne)  COMPARE_BRANCH(D,   a != 0) vmbreak;
    vmfused(dcmp_iflt)  COMPARE_BRANCH(D,   a < 0)  vmbreak;
    vmfused(dcmp_ifge)  COMPARE_BRANCH(D,   a >= 0) vmbreak;
    vmfused(dcmp_ifgt)  COMPARE_BRANCH(D,   a > 0)  vmbreak;
    vmfused(dcmp_ifle)  COMPARE_BRANCH(D,   a <= 0) vmbreak;
    vmfused(constant1_iadd)   CONSTANT_OPERATION(1, S32, put_int,  add32(a, b))  vmbreak;
    vmfused(constant1_isub)   CONSTANT_OPERATION(1, S32, put_int,  sub32(a, b))  vmbreak;
    vmfused(constant1_imul)   CONSTANT_OPERATION(1, S32, put_int,  mul32(a, b))  vmbreak;
    vmfused(constant1_iand)   CONSTANT_OPERATION(1, S32, put_int,  a & b)        vmbreak;
    vmfused(constant1_ior)    CONSTANT_OPERATION(1, S32, put_int,  a | b)        vmbreak;
    vmfused(constant1_ixor)   CONSTANT_OPERATION(1, S32, put_int,  a ^ b)        vmbreak;
    vmfused(constant1_ishl)   CONSTANT_OPERATION(1, S32, put_int,  shl32(a, b))  vmbreak;
    vmfused(constant1_ishr)   CONSTANT_OPERATION(1, S32, put_int,  shr32(a, b))  vmbreak;
    vmfused(constant1_iushr)  CONSTANT_OPERATION(1, S32, put_int,  ushr32(a, b)) vmbreak;
    vmfused(constant1_lshl)   CONSTANT_OPERATION(1, S64, put_long, shl64(a, b))  vmbreak;
    vmfused(constant1_lshr)   CONSTANT_OPERATION(1, S64, put_long, shr64(a, b))  vmbreak;
    vmfused(constant1_lushr)  CONSTANT_OPERATION(1, S64, put_long, ushr64(a, b)) vmbreak;
    vmfused(constant2_iadd)   CONSTANT_OPERATION(2, S32, put_int,  add32(a, b))  vmbreak;
    vmfused(constant2_isub)   CONSTANT_OPERATION(2, S32, put_int,  sub32(a, b))  vmbreak;
    vmfused(constant2_imul)   CONSTANT_OPERATION(2, S32, put_int,  mul32(a, b))  vmbreak;
    vmfused(constant2_iand)   CONSTANT_OPERATION(2, S32, put_int,  a & b)        vmbreak;
    vmfused(constant2_ior)    CONSTANT_OPERATION(2, S32, put_int,  a | b)        vmbreak;
    vmfused(constant2_ixor)   CONSTANT_OPERATION(2, S32, put_int,  a ^ b)        vmbreak;
    vmfused(constant2_ishl)   CONSTANT_OPERATION(2, S32, put_int,  shl32(a, b))  vmbreak;
    vmfused(constant2_ishr)   CONSTANT_OPERATION(2, S32, put_int,  shr32(a, b))  vmbreak;
    vmfused(constant2_iushr)  CONSTANT_OPERATION(2, S32, put_int,  ushr32(a, b)) vmbreak;
    vmfused(constant2_lshl)   CONSTANT_OPERATION(2, S64, put_long, shl64(a, b))  vmbreak;
    vmfused(constant2_lshr)   CONSTANT_OPERATION(2, S64, put_long, shr64(a, b))  vmbreak;
    vmfused(constant2_lushr)  CONSTANT_OPERATION(2, S64, put_long, ushr64(a, b)) vmbreak;
    vmfused(constant3_iadd)   CONSTANT_OPERATION(3, S32, put_int,  add32(a, b))  vmbreak;
    vmfused(constant3_isub)   CONSTANT_OPERATION(3, S32, put_int,  sub32(a, b))  vmbreak;
    vmfused(constant3_imul)   CONSTANT_OPERATION(3, S32, put_int,  mul32(a, b))  vmbreak;
    vmfused(constant3_iand)   CONSTANT_OPERATION(3, S32, put_int,  a & b)        vmbreak;
    vmfused(constant3_ior)    CONSTANT_OPERATION(3, S32, put_int,  a | b)        vmbreak;
    vmfused(constant3_ixor)   CONSTANT_OPERATION(3, S32, put_int,  a ^ b)        vmbreak;
    vmfused(constant3_ishl)   CONSTANT_OPERATION(3, S32, put_int,  shl32(a, b))  vmbreak;
    vmfused(constant3_ishr)   CONSTANT_OPERATION(3, S32, put_int,  shr32(a, b))  vmbreak;
    vmfused(constant3_iushr)  CONSTANT_OPERATION(3, S32, put_int,  ushr32(a, b)) vmbreak;
    vmfused(constant3_lshl)   CONSTANT_OPERATION(3, S64, put_long, shl64(a, b))  vmbreak;
    vmfused(constant3_lshr)   CONSTANT_OPERATION(3, S64, put_long, shr64(a, b))  vmbreak;
    vmfused(constant3_lushr)  CONSTANT_OPERATION(3, S64, put_long, ushr64(a, b)) vmbreak;
    vmfused(assign_iadd) ASSIGN(add32(a, b)) vmbreak;
    vmfused(assign_isub) ASSIGN(sub32(a, b)) vmbreak;
    vmfused(assign_imul) ASSIGN(mul32(a, b)) vmbreak;
    vmfused(assign_iand) ASSIGN(a & b)       vmbreak;
    vmfused(assign_ior)  ASSIGN(a | b)       vmbreak;
    vmfused(assign_ixor) ASSIGN(a ^ b)       vmbreak;
    vmfused(local_constant1_iadd)  LOCAL_CONSTANT_OPERATION(1, add32(a, b))  vmbreak;
    vmfused(local_constant1_isub)  LOCAL_CONSTANT_OPERATION(1, sub32(a, b))  vmbreak;
    vmfused(local_constant1_imul)  LOCAL_CONSTANT_OPERATION(1, mul32(a, b))  vmbreak;
    vmfused(local_constant1_iand)  LOCAL_CONSTANT_OPERATION(1, a & b)        vmbreak;
    vmfused(local_constant1_ior)   LOCAL_CONSTANT_OPERATION(1, a | b)        vmbreak;
    vmfused(local_constant1_ixor)  LOCAL_CONSTANT_OPERATION(1, a ^ b)        vmbreak;
    vmfused(local_constant1_ishl)  LOCAL_CONSTANT_OPERATION(1, shl32(a, b))  vmbreak;
    vmfused(local_constant1_ishr)  LOCAL_CONSTANT_OPERATION(1, shr32(a, b))  vmbreak;
    vmfused(local_constant1_iushr) LOCAL_CONSTANT_OPERATION(1, ushr32(a, b)) vmbreak;
    vmfused(local_constant2_iadd)  LOCAL_CONSTANT_OPERATION(2, add32(a, b))  vmbreak;
    vmfused(local_constant2_isub)  LOCAL_CONSTANT_OPERATION(2, sub32(a, b))  vmbreak;
    vmfused(local_constant2_imul)  LOCAL_CONSTANT_OPERATION(2, mul32(a, b))  vmbreak;
    vmfused(local_constant2_iand)  LOCAL_CONSTANT_OPERATION(2, a & b)        vmbreak;
    vmfused(local_constant2_ior)   LOCAL_CONSTANT_OPERATION(2, a | b)        vmbreak;
    vmfused(local_constant2_ixor)  LOCAL_CONSTANT_OPERATION(2, a ^ b)        vmbreak;
    vmfused(local_constant2_ishl)  LOCAL_CONSTANT_OPERATION(2, shl32(a, b))  vmbreak;
    vmfused(local_constant2_ishr)  LOCAL_CONSTANT_OPERATION(2, shr32(a, b))  vmbreak;
    vmfused(local_constant2_iushr) LOCAL_CONSTANT_OPERATION(2, ushr32(a, b)) vmbreak;
    vmfused(local_constant3_iadd)  LOCAL_CONSTANT_OPERATION(3, add32(a, b))  vmbreak;
    vmfused(local_constant3_isub)  LOCAL_CONSTANT_OPERATION(3, sub32(a, b))  vmbreak;
    vmfused(local_constant3_imul)  LOCAL_CONSTANT_OPERATION(3, mul32(a, b))  vmbreak;
    vmfused(local_constant3_iand)  LOCAL_CONSTANT_OPERATION(3, a & b)        vmbreak;
    vmfused(local_constant3_ior)   LOCAL_CONSTANT_OPERATION(3, a | b)        vmbreak;
    vmfused(local_constant3_ixor)  LOCAL_CONSTANT_OPERATION(3, a ^ b)        vmbreak;
    vmfused(local_constant3_ishl)  LOCAL_CONSTANT_OPERATION(3, shl32(a, b))  vmbreak;
    vmfused(local_constant3_ishr)  LOCAL_CONSTANT_OPERATION(3, shr32(a, b))  vmbreak;
    vmfused(local_constant3_iushr) LOCAL_CONSTANT_OPERATION(3, ushr32(a, b)) vmbreak;
    vmfused(iadd_istore)  OPERATION_STORE(add32(a, b))  vmbreak;
    vmfused(isub_istore)  OPERATION_STORE(sub32(a, b))  vmbreak;
    vmfused(imul_istore)  OPERATION_STORE(mul32(a, b))  vmbreak;
    vmfused(iand_istore)  OPERATION_STORE(a & b)        vmbreak;
    vmfused(ior_istore)   OPERATION_STORE(a | b)        vmbreak;
    vmfused(ixor_istore)  OPERATION_STORE(a ^ b)        vmbreak;
    vmfused(ishl_istore)  OPERATION_STORE(shl32(a, b))  vmbreak;
    vmfused(ishr_istore)  OPERATION_STORE(shr32(a, b))  vmbreak;
    vmfused(iushr_istore) OPERATION_STORE(ushr32(a, b)) vmbreak;
    vmfused(increment) INCREMENT vmbreak;
    vmfused(increment_goto) {
        INCREMENT
        ++r.pc; // on the goto
        GOTO;
    }
    vmfused(ldc_int)       { push(r, known_constant(runs, r.pc, TYPE_INT, false));    r.pc += 1; } vmbreak;
    vmfused(ldc_float)     { push(r, known_constant(runs, r.pc, TYPE_FLOAT, false));  r.pc += 1; } vmbreak;
    vmfused(ldc_w_int)     { push(r, known_constant(runs, r.pc, TYPE_INT, false));    r.pc += 2; } vmbreak;
    vmfused(ldc_w_float)   { push(r, known_constant(runs, r.pc, TYPE_FLOAT, false));  r.pc += 2; } vmbreak;
    vmfused(ldc2_w_long)   { push(r, known_constant(runs, r.pc, TYPE_LONG, true));    r.pc += 2; } vmbreak;
    vmfused(ldc2_w_double) { push(r, known_constant(runs, r.pc, TYPE_DOUBLE, true));  r.pc += 2; } vmbreak;

    // references, arrays, objects, fields, subroutines, switches, monitors, exceptions and
    // the floating-point remainders are not executed by this VM: the table's REFUSE rows
#define MIRT_REFUSED_RUN(name)
#define MIRT_REFUSED_REFUSE(name) vmcase(name)
#define MIRT_REFUSED_CASE(value, name, operands, wide, executed, ...) MIRT_REFUSED_##executed(name)
    MIRT_OPCODE_LIST(MIRT_REFUSED_CASE)
#undef MIRT_REFUSED_CASE
#undef MIRT_REFUSED_REFUSE
#undef MIRT_REFUSED_RUN
    vmdefault // 0xcb..0xff: no instruction has these values
        // A run reads the opcode again rather than keep it in a register for this path.
        fail(r, ERROR_UNKNOWN_OPCODE, one_step ? op : *r.pc);
    vmswitch_end
    // clang-format on
}

} // namespace

#undef vmcase
#undef vmfused
#undef vmdefault
#undef vmdispatch
#undef vmswitch
#undef vmswitch_end
#undef vmend
#undef vmbreak
#undef vmjump
#undef vmenter
#undef vmresume
#undef vmgo_on
#undef vmcount_run

void execute_instruction(int instruction) {
    const u8 op = static_cast<u8>(instruction);
    is_debug ? interpret<true, true, true>(op) : interpret<false, true, true>(op);
}

namespace {

// The steps of a run from here to the return from main, as mirt_step would make them one
// by one, without leaving the interpreter between them. Nothing an instruction does can set
// the requests a step checks besides (stop, initialise, start: only a host calls those).
// The trace switch is fixed for a run; deciding it once keeps the test out of every step.
// An untraced run changes between the checked and the unchecked body where calls and
// returns lead from code of one kind to the other.
void run_to_end_of_main() {
    if (is_debug) {
        interpret<true, false, true>(0);
        return;
    }
    bool unchecked = unchecked_proof(pc, stack_counter) != nullptr;
    while (unchecked ? interpret<false, false, false>(0) : interpret<false, false, true>(0))
        unchecked = !unchecked;
}

} // namespace
