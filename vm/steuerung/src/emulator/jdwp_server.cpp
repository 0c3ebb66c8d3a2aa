#include "jdwp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "../mirt/mirt.h"
#include "../mirt/mirt_descriptor.h"
#include "../mirt/mirt_error.h"
#include "../mirt/mirt_opcodes.h"
#include "drive_record.h"
#include "emulate.h"
#include "jdwp_packet.h"

namespace jdwp {

namespace {

// Command sets, commands, event kinds and error codes as the protocol numbers them.
enum command_set : u8 {
    VIRTUAL_MACHINE = 1,
    REFERENCE_TYPE = 2,
    CLASS_TYPE = 3,
    METHOD = 6,
    OBJECT_REFERENCE = 9,
    STRING_REFERENCE = 10,
    THREAD_REFERENCE = 11,
    THREAD_GROUP_REFERENCE = 12,
    EVENT_REQUEST = 15,
    STACK_FRAME = 16,
    EVENT = 64,
};
enum event_kind : u8 {
    SINGLE_STEP = 1,
    BREAKPOINT = 2,
    FRAME_POP = 3,
    EXCEPTION = 4,
    CLASS_PREPARE = 8,
    FIELD_ACCESS = 20,
    FIELD_MODIFICATION = 21,
    METHOD_ENTRY = 40,
    METHOD_EXIT = 41,
    METHOD_EXIT_WITH_RETURN_VALUE = 42,
    VM_START = 90,
    VM_DEATH = 99,
};
enum error_code : u16 {
    NONE = 0,
    INVALID_THREAD = 10,
    THREAD_NOT_SUSPENDED = 13,
    INVALID_OBJECT = 20,
    INVALID_CLASS = 21,
    INVALID_METHODID = 23,
    INVALID_FIELDID = 25,
    INVALID_FRAMEID = 30,
    INVALID_SLOT = 35,
    NOT_FOUND = 41,
    NOT_IMPLEMENTED = 99,
    ABSENT_INFORMATION = 101,
    ILLEGAL_ARGUMENT = 103,
    INVALID_INDEX = 503,
    INVALID_LENGTH = 504,
};
enum suspend_policy : u8 { SUSPEND_NONE = 0, SUSPEND_ALL = 2 };
enum step_depth : s32 { STEP_INTO = 0, STEP_OVER = 1, STEP_OUT = 2 };
constexpr s32 STEP_LINE = 1;
constexpr u8 TYPE_TAG_CLASS = 1;
constexpr s32 CLASS_STATUS_READY = 7; // verified, prepared, initialized
constexpr u32 ID_BYTES = 8;

// The one thread, its group, the exception a fault raises and its message, as objects.
constexpr u64 THREAD_ID = 0x10001;
constexpr u64 GROUP_ID = 0x10002;
constexpr u64 EXCEPTION_ID = 0x10003;
constexpr u64 MESSAGE_ID = 0x10004;
// Throwable's one field a debugger reads: the message, which is the VM's fault message.
constexpr u64 DETAIL_MESSAGE_FIELD = 1;
constexpr u32 FIELD_PRIVATE = 0x2;

// Library classes a debugger asks for (jdb's default catch names Throwable) and the types
// of the objects above. Each names its superclass by index in this table, -1 for none.
struct library_class {
    const char* signature;
    int super;
};
constexpr library_class library[] = {
    {"Ljava/lang/Object;", -1},
    {"Ljava/lang/Throwable;", 0},
    {"Ljava/lang/Exception;", 1},
    {"Ljava/lang/RuntimeException;", 2},
    {"Ljava/lang/ArithmeticException;", 3},
    {"Ljava/lang/Error;", 1},
    {"Ljava/lang/VirtualMachineError;", 5},
    {"Ljava/lang/StackOverflowError;", 6},
    {"Ljava/lang/InternalError;", 6},
    {"Ljava/lang/Thread;", 0},
    {"Ljava/lang/ThreadGroup;", 0},
    {"Ljava/lang/String;", 0},
};
enum library_index {
    OBJECT = 0,
    THROWABLE = 1,
    ARITHMETIC = 4,
    STACK_OVERFLOW = 7,
    INTERNAL = 8,
    THREAD = 9,
    THREAD_GROUP = 10,
    STRING = 11
};

struct location {
    u64 type = 0;   // class id, 0: none
    u64 method = 0; // method index + 1
    u64 index = 0;  // code offset
    bool operator==(const location&) const = default;
};

struct request {
    u32 id = 0;
    u8 kind = 0;
    u8 policy = 0;
    s32 count = 0; // fires at the count-th match, then never again; 0: every match
    bool expired = false;
    std::vector<std::string> matches, excludes, sources; // sources: source file name patterns
    u64 class_only = 0;
    bool at_location = false;
    location where;
    bool steps = false;
    s32 size = 0, depth = 0;
    size_t from_frames = 0;
    u32 from_line = 0;
    u64 exception_type = 0;
    bool uncaught = true;
};

// One activation as the debugger sees it: where it stands and its register locals.
struct frame_view {
    location where;
    variable* registers;
};

const mapfile::package_map* the_map = nullptr;
std::map<u32, u64> class_of_image; // image offset -> class id
int connection = -1;
std::vector<u8> inbox;
u32 next_packet_id = 1;
u32 next_request_id = 1;
std::vector<request> requests;
bool suspended = false;
bool prepared = false; // the program's classes are shown once it first runs
// At a fault: where the faulting instruction stood, and the callers before its step.
bool faulted = false;
location fault_location;
u16 fault_frames = 0;
u64 fault_type = 0;
std::string fault_message;    // as the emulator prints it, without the line break
std::optional<s32> exit_code; // VirtualMachine.Exit asked for it: the process ends

u64 class_count() { return the_map ? the_map->classes.size() : 0; }
u64 library_id(int index) { return class_count() + 1 + static_cast<u64>(index); }
bool is_library(u64 id) { return id > class_count() && id <= class_count() + std::size(library); }

const mapfile::class_entry* program_class(u64 id) {
    return id >= 1 && id <= class_count() ? &the_map->classes[id - 1] : nullptr;
}

const mapfile::method_entry* method_at(u64 type, u64 method) {
    const mapfile::class_entry* c = program_class(type);
    if (!c) return nullptr;
    for (const mapfile::method_entry& m : c->methods)
        if (m.index + 1u == method) return &m;
    return nullptr;
}

// "LController;" for the class the directory names "Controller" (a package path keeps its
// slashes).
std::string signature_of(u64 id) {
    if (const mapfile::class_entry* c = program_class(id)) return "L" + c->name + ";";
    if (is_library(id)) return library[id - class_count() - 1].signature;
    return {};
}

bool known_type(u64 id) { return (program_class(id) && prepared) || is_library(id); }

location where_is(const class_image& image, u16 method, const u8* at) {
    const auto found = class_of_image.find(image.base);
    if (found == class_of_image.end() || !at) return {};
    const mapfile::method_entry* m = method_at(found->second, method + 1u);
    if (!m) return {};
    const long offset = at - vm_memory() - static_cast<long>(m->code);
    return {found->second, method + 1u, offset >= 0 ? static_cast<u64>(offset) : 0};
}

u32 line_at(const location& l) {
    const mapfile::method_entry* m = method_at(l.type, l.method);
    return m ? mapfile::line_of(*m, static_cast<u32>(l.index)) : 0;
}

// The running activation first, then the saved callers, each at its call.
std::vector<frame_view> frames() {
    std::vector<frame_view> list;
    // Before it first runs, main's thread shows no frames, as a JVM's before its main.
    if ((!vm_running() && !faulted) || !prepared) return list;
    if (faulted)
        list.push_back({fault_location, vm_register_locals()});
    else
        list.push_back({where_is(vm_current_frame().cf, vm_current_frame().method, vm_pc()),
                        vm_register_locals()});
    const int callers =
        faulted && fault_frames < vm_frame_depth() ? fault_frames : vm_frame_depth();
    for (int i = callers - 1; i >= 0; --i) {
        frame_info& f = vm_saved_frame(i);
        // A caller's pc stands on its call's last operand byte.
        list.push_back({where_is(f.cf, f.method, f.pc - 2), f.local_var});
    }
    return list;
}

// --- the connection --------------------------------------------------------------------------

void end_session() {
    if (connection >= 0) close(connection);
    connection = -1;
    requests.clear();
    inbox.clear();
    suspended = false;
}

bool send_all(const std::vector<u8>& bytes) {
    size_t sent = 0;
    while (connection >= 0 && sent < bytes.size()) {
        const ssize_t n = send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            end_session();
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return connection >= 0;
}

// Reads what has arrived; with `wait`, blocks until something does. False when the debugger
// is gone.
bool receive(bool wait) {
    pollfd p{connection, POLLIN, 0};
    const int ready = poll(&p, 1, wait ? -1 : 0);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    u8 chunk[4096];
    const ssize_t n = recv(connection, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    inbox.insert(inbox.end(), chunk, chunk + n);
    return true;
}

void write_location(writer& w, const location& l) {
    w.byte(TYPE_TAG_CLASS).u64_(l.type).u64_(l.method).u64_(l.index);
}

location read_location(reader& r) {
    r.byte();
    location l;
    l.type = r.u64_();
    l.method = r.u64_();
    l.index = r.u64_();
    return l;
}

void send_events(u8 policy, const std::vector<u8>& events, u32 count) {
    writer w;
    w.byte(policy).u32_(count);
    w.data.insert(w.data.end(), events.begin(), events.end());
    send_all(encode_command(next_packet_id++, EVENT, 100, w.data));
    if (policy != SUSPEND_NONE) suspended = true;
}

// --- requests ----------------------------------------------------------------------------------

// A class pattern: a name, or one with '*' at its start or its end.
bool pattern_matches(const std::string& pattern, const std::string& name) {
    if (!pattern.empty() && pattern.front() == '*') return name.ends_with(pattern.substr(1));
    if (!pattern.empty() && pattern.back() == '*')
        return name.starts_with(pattern.substr(0, pattern.size() - 1));
    return pattern == name;
}

// "Controller", "java.lang.Throwable": the name class filters compare with.
std::string dotted_name(u64 id) {
    std::string s = signature_of(id);
    if (s.size() < 2) return s;
    s = s.substr(1, s.size() - 2);
    for (char& c : s)
        if (c == '/') c = '.';
    return s;
}

bool class_filters_pass(const request& q, u64 type) {
    const std::string name = dotted_name(type);
    for (const std::string& m : q.matches)
        if (!pattern_matches(m, name)) return false;
    for (const std::string& m : q.excludes)
        if (pattern_matches(m, name)) return false;
    const mapfile::class_entry* c = program_class(type);
    for (const std::string& m : q.sources)
        if (!c || c->source.empty() || !pattern_matches(m, c->source)) return false;
    return !q.class_only || q.class_only == type;
}

// Counts a match of `q`; true when it fires now. A count fires once, at its last match.
bool counts(request& q) {
    if (q.expired) return false;
    if (q.count <= 0) return true;
    if (--q.count > 0) return false;
    q.expired = true;
    return true;
}

bool step_done(const request& q, size_t depth, const location& here) {
    if (q.depth == STEP_OUT) return depth < q.from_frames;
    if (depth < q.from_frames) return true;
    if (depth > q.from_frames) return q.depth == STEP_INTO;
    if (q.size != STEP_LINE) return true;
    const u32 line = line_at(here);
    return line != 0 && line != q.from_line;
}

u16 set_request(reader& r, writer& out) {
    request q;
    q.kind = r.byte();
    q.policy = r.byte();
    // Events a JVM raises and this server does not: refused, so that a method breakpoint or
    // a watch is reported as unsupported rather than never hit.
    switch (q.kind) {
    case FRAME_POP:
    case FIELD_ACCESS:
    case FIELD_MODIFICATION:
    case METHOD_ENTRY:
    case METHOD_EXIT:
    case METHOD_EXIT_WITH_RETURN_VALUE: return NOT_IMPLEMENTED;
    default: break;
    }
    const s32 modifiers = r.s32_();
    for (s32 i = 0; i < modifiers && !r.failed(); ++i) {
        switch (r.byte()) {
        case 1: q.count = r.s32_(); break;
        case 2: r.s32_(); break;
        case 3: r.u64_(); break;
        case 4: q.class_only = r.u64_(); break;
        case 5: q.matches.push_back(r.string()); break;
        case 6: q.excludes.push_back(r.string()); break;
        case 7:
            q.at_location = true;
            q.where = read_location(r);
            break;
        case 8:
            q.exception_type = r.u64_();
            r.byte();
            q.uncaught = r.byte() != 0;
            break;
        case 9:
            r.u64_();
            r.u64_();
            break;
        case 10: {
            r.u64_();
            q.steps = true;
            q.size = r.s32_();
            q.depth = r.s32_();
            const std::vector<frame_view> now = frames();
            if (now.empty()) return INVALID_THREAD;
            q.from_frames = now.size();
            q.from_line = line_at(now[0].where);
            break;
        }
        case 11: r.u64_(); break;
        case 12: q.sources.push_back(r.string()); break;
        default: return NOT_IMPLEMENTED;
        }
    }
    if (r.failed()) return ILLEGAL_ARGUMENT;
    q.id = next_request_id++;
    out.u32_(q.id);
    requests.push_back(q);
    return NONE;
}

void clear_request(u8 kind, u32 id) {
    std::erase_if(requests, [&](const request& q) { return q.kind == kind && q.id == id; });
}

// --- values ------------------------------------------------------------------------------------

// The variable behind `slot` of a frame: a register local, or the method's pool entry (one
// the method shares with every activation of it).
variable* local_slot(const frame_view& f, s32 slot) {
    if (slot < 0) return nullptr;
    if (slot < REGISTER_LOCALS) return &f.registers[slot];
    const mapfile::method_entry* m = method_at(f.where.type, f.where.method);
    if (!m || static_cast<u32>(slot) >= m->locals_count) return nullptr;
    return &vm_pool_local(m->locals_first + static_cast<u32>(slot));
}

void write_value(writer& w, u8 tag, const variable& v) {
    w.byte(tag);
    switch (tag) {
    case 'J': w.u64_(static_cast<u64>(v.value.S64)); break;
    case 'D': {
        u64 bits;
        std::memcpy(&bits, &v.value.D, 8);
        w.u64_(bits);
        break;
    }
    case 'F': {
        u32 bits;
        std::memcpy(&bits, &v.value.F, 4);
        w.u32_(bits);
        break;
    }
    case 'Z': w.byte(v.value.S32 != 0); break;
    case 'B': w.byte(static_cast<u8>(v.value.S32)); break;
    case 'C':
    case 'S': w.byte(static_cast<u8>(v.value.S32 >> 8)).byte(static_cast<u8>(v.value.S32)); break;
    case 'I': w.u32_(static_cast<u32>(v.value.S32)); break;
    default: w.u64_(0); break; // an object: null, the only one a local here can hold
    }
}

bool read_value(reader& r, variable& v) {
    const u8 tag = r.byte();
    switch (tag) {
    case 'J': v = long_entry(static_cast<s64>(r.u64_())); break;
    case 'D': {
        const u64 bits = r.u64_();
        double d;
        std::memcpy(&d, &bits, 8);
        v = double_entry(d);
        break;
    }
    case 'F': {
        const u32 bits = r.u32_();
        float f;
        std::memcpy(&f, &bits, 4);
        v = float_entry(f);
        break;
    }
    case 'Z':
    case 'B': v = int_entry(static_cast<s8>(r.byte())); break;
    case 'C': v = int_entry(static_cast<u16>(r.byte() << 8 | r.byte())); break;
    case 'S': v = int_entry(static_cast<s16>(r.byte() << 8 | r.byte())); break;
    case 'I': v = int_entry(r.s32_()); break;
    default: return false;
    }
    return !r.failed();
}

// --- commands ----------------------------------------------------------------------------------

void write_class(writer& w, u64 id, bool with_signature, bool generic) {
    w.byte(TYPE_TAG_CLASS).u64_(id);
    if (with_signature) w.string(signature_of(id));
    if (generic) w.string("");
    w.u32_(CLASS_STATUS_READY);
}

std::vector<u64> visible_classes() {
    std::vector<u64> ids;
    if (prepared)
        for (u64 id = 1; id <= class_count(); ++id) ids.push_back(id);
    for (size_t i = 0; i < std::size(library); ++i) ids.push_back(library_id(static_cast<int>(i)));
    return ids;
}

// Parameter words of a method: a long or double takes two.
s32 argument_slots(const std::string& descriptor) {
    descriptor_cursor c(descriptor.data(), static_cast<int>(descriptor.size()));
    s32 slots = 0;
    for (int t; (t = c.next_parameter()) != ')' && t != descriptor_cursor::END;)
        slots += t == 'J' || t == 'D' ? 2 : 1;
    return slots;
}

u16 virtual_machine(u8 command, reader& r, writer& w, bool& detach) {
    switch (command) {
    case 1: // Version
        w.string("mirt emulator").u32_(1).u32_(8).string("1.8").string("mirt emulator");
        return NONE;
    case 2: { // ClassesBySignature
        const std::string wanted = r.string();
        std::vector<u64> found;
        for (u64 id : visible_classes())
            if (signature_of(id) == wanted) found.push_back(id);
        w.u32_(static_cast<u32>(found.size()));
        for (u64 id : found) write_class(w, id, false, false);
        return NONE;
    }
    case 3:    // AllClasses
    case 20: { // AllClassesWithGeneric
        const std::vector<u64> ids = visible_classes();
        w.u32_(static_cast<u32>(ids.size()));
        for (u64 id : ids) write_class(w, id, true, command == 20);
        return NONE;
    }
    case 4: w.u32_(1).u64_(THREAD_ID); return NONE; // AllThreads
    case 5: w.u32_(1).u64_(GROUP_ID); return NONE;  // TopLevelThreadGroups
    case 6: detach = true; return NONE;             // Dispose
    case 7:
        for (int i = 0; i < 5; ++i) w.u32_(ID_BYTES);
        return NONE;                        // IDSizes
    case 8: suspended = true; return NONE;  // Suspend
    case 9: suspended = false; return NONE; // Resume
    case 10: {                              // Exit
        exit_code = r.s32_();
        return NONE;
    }
    case 12:   // Capabilities
    case 17: { // CapabilitiesNew
        // What this server answers: canGetBytecodes, canGetSourceDebugExtension (absent for
        // every class), canRequestVMDeathEvent. A debugger does not ask for what a VM lacks.
        constexpr int GET_BYTECODES = 2, SOURCE_DEBUG_EXTENSION = 12, VM_DEATH_REQUESTS = 13;
        for (int i = 0; i < (command == 12 ? 7 : 32); ++i)
            w.byte(i == GET_BYTECODES || i == SOURCE_DEBUG_EXTENSION || i == VM_DEATH_REQUESTS);
        return NONE;
    }
    case 13: { // ClassPaths
        char cwd[4096];
        w.string(getcwd(cwd, sizeof cwd) ? cwd : "").u32_(0).u32_(0);
        return NONE;
    }
    case 14: // DisposeObjects
    case 15: // HoldEvents
    case 16: // ReleaseEvents
    case 19: // SetDefaultStratum
        return NONE;
    default: return NOT_IMPLEMENTED;
    }
}

u16 reference_type(u8 command, reader& r, writer& w) {
    const u64 id = r.u64_();
    if (!known_type(id)) return INVALID_CLASS;
    const mapfile::class_entry* c = program_class(id);
    switch (command) {
    case 1: w.string(signature_of(id)); return NONE;             // Signature
    case 13: w.string(signature_of(id)).string(""); return NONE; // SignatureWithGeneric
    case 2: w.u64_(0); return NONE;                              // ClassLoader
    case 3: w.u32_(1); return NONE;                              // Modifiers: public
    case 4:                                                      // Fields
    case 14: {                                                   // FieldsWithGeneric
        const bool message = id == library_id(THROWABLE);
        w.u32_(message ? 1 : 0);
        if (message) {
            w.u64_(DETAIL_MESSAGE_FIELD).string("detailMessage").string("Ljava/lang/String;");
            if (command == 14) w.string("");
            w.u32_(FIELD_PRIVATE);
        }
        return NONE;
    }
    case 8:  // NestedTypes
    case 10: // Interfaces
        w.u32_(0);
        return NONE;
    case 5:    // Methods
    case 15: { // MethodsWithGeneric
        w.u32_(c ? static_cast<u32>(c->methods.size()) : 0);
        if (c)
            for (const mapfile::method_entry& m : c->methods) {
                w.u64_(m.index + 1u).string(m.name).string(m.descriptor);
                if (command == 15) w.string("");
                w.u32_(m.flags);
            }
        return NONE;
    }
    case 6: return r.s32_() == 0 ? (w.u32_(0), NONE) : INVALID_FIELDID; // GetValues
    case 7:                                                             // SourceFile
        if (!c || c->source.empty()) return ABSENT_INFORMATION;
        w.string(c->source);
        return NONE;
    case 9: w.u32_(CLASS_STATUS_READY); return NONE; // Status
    case 12: return ABSENT_INFORMATION;              // SourceDebugExtension
    default: return NOT_IMPLEMENTED;
    }
}

u16 method_command(u8 command, reader& r, writer& w) {
    const u64 type = r.u64_();
    const u64 id = r.u64_();
    if (!known_type(type)) return INVALID_CLASS;
    const mapfile::method_entry* m = method_at(type, id);
    if (!m) return INVALID_METHODID;
    switch (command) {
    case 1: // LineTable
        if (m->length == 0) {
            w.u64_(~u64{0}).u64_(~u64{0}).u32_(0);
            return NONE;
        }
        if (m->lines.empty()) return ABSENT_INFORMATION;
        w.u64_(0).u64_(m->length - 1).u32_(static_cast<u32>(m->lines.size()));
        for (const mapfile::line_entry& l : m->lines) w.u64_(l.code_offset).u32_(l.line);
        return NONE;
    case 2:   // VariableTable
    case 5: { // VariableTableWithGeneric
        if (m->locals.empty()) return ABSENT_INFORMATION;
        w.u32_(static_cast<u32>(argument_slots(m->descriptor)));
        w.u32_(static_cast<u32>(m->locals.size()));
        for (const mapfile::local_entry& l : m->locals) {
            w.u64_(l.start).string(l.name).string(l.descriptor);
            if (command == 5) w.string("");
            w.u32_(l.length).u32_(l.slot);
        }
        return NONE;
    }
    case 3: // Bytecodes
        w.u32_(m->length);
        for (u32 i = 0; i < m->length && vm_memory(); ++i) w.byte(vm_loaded().u8_at(m->code + i));
        return NONE;
    case 4: w.byte(0); return NONE; // IsObsolete
    default: return NOT_IMPLEMENTED;
    }
}

u16 object_reference(u8 command, reader& r, writer& w) {
    const u64 id = r.u64_();
    int type = -1;
    if (id == THREAD_ID) type = THREAD;
    if (id == GROUP_ID) type = THREAD_GROUP;
    if (id == EXCEPTION_ID && faulted) type = static_cast<int>(fault_type - class_count() - 1);
    if (id == MESSAGE_ID && faulted) type = STRING;
    if (type < 0) return INVALID_OBJECT;
    switch (command) {
    case 1: w.byte(TYPE_TAG_CLASS).u64_(library_id(type)); return NONE; // ReferenceType
    case 2: {                                                           // GetValues
        const s32 count = r.s32_();
        if (count < 0) return ILLEGAL_ARGUMENT;
        w.u32_(static_cast<u32>(count));
        for (s32 i = 0; i < count && !r.failed(); ++i) {
            if (r.u64_() != DETAIL_MESSAGE_FIELD || id != EXCEPTION_ID) return INVALID_FIELDID;
            w.byte('s').u64_(MESSAGE_ID);
        }
        return NONE;
    }
    case 7:                         // DisableCollection
    case 8: return NONE;            // EnableCollection
    case 9: w.byte(0); return NONE; // IsCollected
    default: return NOT_IMPLEMENTED;
    }
}

u16 thread_reference(u8 command, reader& r, writer& w) {
    if (r.u64_() != THREAD_ID) return INVALID_THREAD;
    switch (command) {
    case 1: w.string("main"); return NONE;                  // Name
    case 2: suspended = true; return NONE;                  // Suspend
    case 3: suspended = false; return NONE;                 // Resume
    case 4: w.u32_(1).u32_(suspended ? 1 : 0); return NONE; // Status: running
    case 5: w.u64_(GROUP_ID); return NONE;                  // ThreadGroup
    case 6:                                                 // Frames
    case 7: {                                               // FrameCount
        if (!suspended) return THREAD_NOT_SUSPENDED;
        const std::vector<frame_view> all = frames();
        if (command == 7) {
            w.u32_(static_cast<u32>(all.size()));
            return NONE;
        }
        const s32 start = r.s32_();
        s32 length = r.s32_();
        if (start < 0 || static_cast<size_t>(start) > all.size()) return INVALID_INDEX;
        // As a JVM: a length beyond the stack's end gives the frames there are (none of an
        // empty stack, which is how a debugger asks whether the top frame is at a breakpoint).
        const s32 there = static_cast<s32>(all.size()) - start;
        if (length == -1 || length > there) length = there;
        if (length < 0) return INVALID_LENGTH;
        w.u32_(static_cast<u32>(length));
        for (s32 i = start; i < start + length; ++i) {
            w.u64_(static_cast<u64>(i) + 1);
            write_location(w, all[static_cast<size_t>(i)].where);
        }
        return NONE;
    }
    case 8: w.u32_(0); return NONE;                  // OwnedMonitors
    case 9: w.byte('L').u64_(0); return NONE;        // CurrentContendedMonitor
    case 12: w.u32_(suspended ? 1 : 0); return NONE; // SuspendCount
    case 15: w.byte(0); return NONE;                 // IsVirtual
    default: return NOT_IMPLEMENTED;
    }
}

u16 thread_group(u8 command, reader& r, writer& w) {
    if (r.u64_() != GROUP_ID) return INVALID_OBJECT;
    switch (command) {
    case 1: w.string("main"); return NONE;                  // Name
    case 2: w.u64_(0); return NONE;                         // Parent
    case 3: w.u32_(1).u64_(THREAD_ID).u32_(0); return NONE; // Children
    default: return NOT_IMPLEMENTED;
    }
}

u16 stack_frame(u8 command, reader& r, writer& w) {
    if (r.u64_() != THREAD_ID) return INVALID_THREAD;
    const u64 id = r.u64_();
    if (!suspended) return THREAD_NOT_SUSPENDED;
    const std::vector<frame_view> all = frames();
    if (id == 0 || id > all.size()) return INVALID_FRAMEID;
    const frame_view& f = all[id - 1];
    switch (command) {
    case 1: { // GetValues
        const s32 count = r.s32_();
        writer values;
        for (s32 i = 0; i < count && !r.failed(); ++i) {
            const variable* v = local_slot(f, r.s32_());
            const u8 tag = r.byte();
            if (!v) return INVALID_SLOT;
            write_value(values, tag, *v);
        }
        if (r.failed() || count < 0) return ILLEGAL_ARGUMENT;
        w.u32_(static_cast<u32>(count));
        w.data.insert(w.data.end(), values.data.begin(), values.data.end());
        return NONE;
    }
    case 2: { // SetValues
        const s32 count = r.s32_();
        for (s32 i = 0; i < count && !r.failed(); ++i) {
            variable* v = local_slot(f, r.s32_());
            variable value{};
            if (!read_value(r, value)) return ILLEGAL_ARGUMENT;
            if (!v) return INVALID_SLOT;
            *v = value;
        }
        return r.failed() ? ILLEGAL_ARGUMENT : NONE;
    }
    case 3: w.byte('L').u64_(0); return NONE; // ThisObject: a static frame has none
    default: return NOT_IMPLEMENTED;
    }
}

// Answers one command; `detach` is set by Dispose.
std::vector<u8> answer(const packet& p, bool& detach) {
    reader r(p.data);
    writer w;
    u16 code = NOT_IMPLEMENTED;
    switch (p.command_set) {
    case VIRTUAL_MACHINE: code = virtual_machine(p.command, r, w, detach); break;
    case REFERENCE_TYPE: code = reference_type(p.command, r, w); break;
    case CLASS_TYPE:
        if (p.command == 1) { // Superclass
            const u64 id = r.u64_();
            if (!known_type(id)) {
                code = INVALID_CLASS;
            } else {
                const int super = is_library(id) ? library[id - class_count() - 1].super : OBJECT;
                w.u64_(super < 0 ? 0 : library_id(super));
                code = NONE;
            }
        }
        break;
    case METHOD: code = method_command(p.command, r, w); break;
    case OBJECT_REFERENCE: code = object_reference(p.command, r, w); break;
    case STRING_REFERENCE: // Value
        if (p.command != 1) break;
        code = r.u64_() == MESSAGE_ID && faulted ? NONE : INVALID_OBJECT;
        if (code == NONE) w.string(fault_message);
        break;
    case THREAD_REFERENCE: code = thread_reference(p.command, r, w); break;
    case THREAD_GROUP_REFERENCE: code = thread_group(p.command, r, w); break;
    case EVENT_REQUEST:
        if (p.command == 1) {
            code = set_request(r, w);
        } else if (p.command == 2) {
            const u8 kind = r.byte();
            clear_request(kind, r.u32_());
            code = NONE;
        } else if (p.command == 3) {
            std::erase_if(requests, [](const request& q) { return q.kind == BREAKPOINT; });
            code = NONE;
        }
        break;
    case STACK_FRAME: code = stack_frame(p.command, r, w); break;
    default: break;
    }
    if (code == NONE && r.failed()) code = ILLEGAL_ARGUMENT;
    return encode_reply(p.id, code, code == NONE ? w.data : std::vector<u8>{});
}

// Answers every complete command that has arrived. False when the session ended (a reply
// to a packet the server never sent, a malformed packet, Dispose).
bool answer_arrived() {
    for (;;) {
        packet p;
        size_t used = 0;
        const scan s = read_packet(inbox.data(), inbox.size(), p, used);
        if (s == scan::incomplete) return true;
        if (s == scan::refused || (p.flags & REPLY_FLAG)) {
            end_session();
            return false;
        }
        inbox.erase(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(used));
        bool detach = false;
        if (!send_all(answer(p, detach))) return false;
        if (exit_code) std::exit(drive_record::finish(*exit_code, emulated_ms()));
        if (detach) {
            end_session();
            return false;
        }
    }
}

// Answers the debugger: while the program is suspended, until it is resumed; else what has
// arrived. A debugger that goes away leaves the program running.
void serve() {
    while (connection >= 0) {
        // A signal while suspended: the debugger lets go, and the run stops as it would.
        if (!receive(suspended) || vm_stop_request()) {
            end_session();
            return;
        }
        if (!answer_arrived() || !suspended) return;
    }
}

// The events the location the program stands at raises, sent together.
void report_location() {
    const std::vector<frame_view> all = frames();
    if (all.empty() || !all[0].where.type) return;
    const location& here = all[0].where;
    writer events;
    u32 count = 0;
    u8 policy = SUSPEND_NONE;
    for (request& q : requests) {
        bool hit = false;
        if (q.kind == BREAKPOINT && q.at_location)
            hit = q.where == here;
        else if (q.kind == SINGLE_STEP && q.steps)
            hit = step_done(q, all.size(), here) && class_filters_pass(q, here.type);
        if (!hit || !counts(q)) continue;
        events.byte(q.kind).u32_(q.id).u64_(THREAD_ID);
        write_location(events, here);
        ++count;
        if (q.policy > policy) policy = q.policy;
    }
    if (count) send_events(policy, events.data, count);
}

// The program's classes become visible when it first runs, as a JVM loads them: a class
// prepare request that matches one reports it.
void prepare_classes() {
    prepared = true;
    writer events;
    u32 count = 0;
    u8 policy = SUSPEND_NONE;
    for (u64 id = 1; id <= class_count(); ++id)
        for (request& q : requests) {
            if (q.kind != CLASS_PREPARE || !class_filters_pass(q, id) || !counts(q)) continue;
            events.byte(CLASS_PREPARE).u32_(q.id).u64_(THREAD_ID);
            events.byte(TYPE_TAG_CLASS).u64_(id).string(signature_of(id)).u32_(CLASS_STATUS_READY);
            ++count;
            if (q.policy > policy) policy = q.policy;
        }
    if (count) send_events(policy, events.data, count);
}

void report_death() {
    if (connection < 0) return;
    writer events;
    events.byte(VM_DEATH).u32_(0);
    u32 count = 1;
    for (const request& q : requests)
        if (q.kind == VM_DEATH) {
            events.byte(VM_DEATH).u32_(q.id);
            ++count;
        }
    send_events(SUSPEND_NONE, events.data, count);
    end_session();
}

} // namespace

bool parse_address(const char* text, address& out) {
    std::string s = text;
    const size_t colon = s.rfind(':');
    if (colon != std::string::npos) {
        out.host = s.substr(0, colon);
        s = s.substr(colon + 1);
        in_addr ignored{};
        if (inet_pton(AF_INET, out.host.c_str(), &ignored) != 1 && out.host != "localhost")
            return false;
        if (out.host == "localhost") out.host = "127.0.0.1";
    }
    if (s.empty() || s.size() > 5) return false;
    u32 port = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + static_cast<u32>(c - '0');
    }
    if (port > 65535) return false;
    out.port = static_cast<u16>(port);
    return true;
}

bool attach(const address& where, const mapfile::package_map& map, std::string& problem) {
    the_map = &map;
    for (size_t i = 0; i < map.classes.size(); ++i) class_of_image[map.classes[i].offset] = i + 1;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        problem = std::string("no socket: ") + std::strerror(errno);
        return false;
    }
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(where.port);
    inet_pton(AF_INET, where.host.c_str(), &a.sin_addr);
    socklen_t length = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        problem = "cannot listen at " + where.host + ":" + std::to_string(where.port) + ": " +
                  std::strerror(errno);
        close(listener);
        return false;
    }
    std::fprintf(stderr, "Listening for transport dt_socket at address: %u\n", ntohs(a.sin_port));
    std::fflush(stderr);
    // One debugger: the listener closes once it is there. A connection whose handshake is
    // wrong or does not come within ten seconds is closed, and the next one is awaited.
    while (connection < 0) {
        // A signal while waiting ends the run as it would end a running program.
        if (vm_stop_request() > 0) {
            close(listener);
            std::exit(drive_record::finish(128 + vm_stop_request(), emulated_ms()));
        }
        // Hazard: a signal can land outside poll (during a handshake, or just before the
        // call), and then no EINTR comes; the bounded wait sees its request at the next turn.
        pollfd incoming{listener, POLLIN, 0};
        const int ready = poll(&incoming, 1, 200);
        if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
        connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR) continue;
            problem = std::string("no debugger: ") + std::strerror(errno);
            close(listener);
            return false;
        }
        const size_t n = std::strlen(HANDSHAKE);
        while (inbox.size() < n) {
            pollfd p{connection, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0 || !receive(false)) break;
        }
        if (inbox.size() < n || std::memcmp(inbox.data(), HANDSHAKE, n) != 0 ||
            !send_all(std::vector<u8>(HANDSHAKE, HANDSHAKE + n))) {
            end_session();
            continue;
        }
        inbox.erase(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(n));
    }
    close(listener);
    // The program starts suspended, as a JVM started with suspend=y.
    writer start;
    start.byte(VM_START).u32_(0).u64_(THREAD_ID);
    send_events(SUSPEND_ALL, start.data, 1);
    std::atexit(report_death); // a bound, a signal or a fault ends the program too
    return true;
}

void run() {
    // Running, the debugger is listened to every so many instructions: a Suspend or a
    // debugger gone is seen soon enough, and the run does not wait on a system call per step.
    constexpr u32 LISTEN_INTERVAL = 1024;
    u32 until_listen = 0;
    while (vm_running()) {
        if (connection >= 0 && !prepared) {
            serve(); // until the first resume
            if (connection >= 0) prepare_classes();
        }
        prepared = true;
        if (connection >= 0) {
            report_location();
            if (suspended || until_listen-- == 0) {
                serve();
                until_listen = LISTEN_INTERVAL;
            }
        }
        fault_location = where_is(vm_current_frame().cf, vm_current_frame().method, vm_pc());
        fault_frames = vm_frame_depth();
        mirt_step();
    }
    report_death();
}

namespace {

// The fault stands as an exception of library class `type` with the VM's `message`.
void note_fault(int type, const char* message) {
    faulted = true;
    fault_type = library_id(type);
    fault_message = message;
    if (!fault_message.empty() && fault_message.back() == '\n') fault_message.pop_back();
}

} // namespace

void stop_at_fault() {
    if (connection < 0) return;
    // What a JVM would throw in its place.
    const u8 op = vm_pc() && vm_memory() ? *vm_pc() : 0;
    int type = INTERNAL;
    if (op == OP_idiv || op == OP_irem || op == OP_ldiv || op == OP_lrem) type = ARITHMETIC;
    if (op == OP_invokestatic && vm_frame_depth() >= FRAME_LIMIT) type = STACK_OVERFLOW;
    note_fault(type, last_fatal_message());
    writer events;
    u32 count = 0;
    u8 policy = SUSPEND_NONE;
    for (request& q : requests) {
        if (q.kind != EXCEPTION || !q.uncaught) continue;
        bool related = !q.exception_type;
        for (int t = type; t >= 0 && !related; t = library[t].super)
            related = library_id(t) == q.exception_type;
        if (!related || !class_filters_pass(q, fault_location.type) || !counts(q)) continue;
        events.byte(EXCEPTION).u32_(q.id).u64_(THREAD_ID);
        write_location(events, fault_location);
        events.byte('L').u64_(EXCEPTION_ID);
        write_location(events, location{}); // not caught
        ++count;
        if (q.policy > policy) policy = q.policy;
    }
    if (count) send_events(policy, events.data, count);
    serve();
}

std::vector<u8> answer_for_test(const mapfile::package_map& map, const std::vector<u8>& bytes,
                                const char* division_fault) {
    the_map = &map;
    prepared = true;
    faulted = false;
    if (division_fault) note_fault(ARITHMETIC, division_fault);
    requests.clear();
    next_request_id = 1;
    suspended = false;
    std::vector<u8> replies;
    packet p;
    size_t used = 0;
    for (size_t at = 0; at < bytes.size(); at += used) {
        if (read_packet(bytes.data() + at, bytes.size() - at, p, used) != scan::complete) break;
        bool detach = false;
        const std::vector<u8> reply = answer(p, detach);
        replies.insert(replies.end(), reply.begin(), reply.end());
    }
    return replies;
}

} // namespace jdwp
