#include "check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "mirt_descriptor.h"
#include "mirt_facts.h"
#include "mirt_image.h"
#include "mirt_method_ids.h"
#include "mirt_opcodes.h"
#include "mirt_resolve.h"

namespace {

// A damaged package: the accessor layer's problem, turned into a report line.
struct damaged {
    std::string what;
};

std::string format(const char* fmt, ...) {
    char line[512];
    va_list args;
    va_start(args, fmt);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start above; analyser false positive
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    return line;
}

[[noreturn]] void throw_damaged(image_problem problem, s64 a, s64 b) {
    switch (problem) {
    case IMAGE_OUT_OF_BOUNDS:
        throw damaged{
            format("%u bytes at offset %u lie outside the file", unsigned(a), unsigned(b))};
    case IMAGE_NO_CONSTANT: throw damaged{format("constant %d does not exist", int(a))};
    case IMAGE_WRONG_CONSTANT:
        throw damaged{format("constant %d has the wrong kind (tag %d)", int(a), int(b))};
    case IMAGE_NO_METHOD: throw damaged{format("method %d does not exist", int(a))};
    case IMAGE_NO_CODE: throw damaged{format("method %d has no Code attribute", int(a))};
    }
    throw damaged{"unreadable"};
}

std::string text(image_text t) {
    return std::string(reinterpret_cast<const char*>(t.bytes), t.length);
}

bool emulated_native(u16 id) {
    const method_id_row* row = find_method_id(id);
    return row && row->emulated();
}

bool model_native(u16 id) {
    const method_id_row* row = find_method_id(id);
    return row && row->model_given();
}

// One instruction of a method's code, decoded through the opcode table, with the targets
// of a switch.
struct instruction : decoded_instruction {
    std::vector<s64> switch_targets; // default first
};

// A switch's operands: padding to a multiple of four bytes from the code's start, then the
// default offset and the table. Answers the operand bytes, or -1 when they leave the code.
int decode_switch(const code_info& code, u32 at, u8 op, std::vector<s64>& targets) {
    const u32 length = static_cast<u32>(code.end - code.begin);
    bool inside = true;
    auto s32_at = [&](u64 offset) {
        if (offset + 4 > length) {
            inside = false;
            return 0;
        }
        return static_cast<s32>(operand_u32(code.begin + offset));
    };
    const u64 table = (at + 4u) & ~u64{3};
    targets.push_back(at + static_cast<s64>(s32_at(table)));
    u64 end = 0;                        // one past the table
    constexpr s64 most_cases = 1 << 16; // more than a method of this size can hold
    if (op == OP_tableswitch) {
        const s64 low = s32_at(table + 4), high = s32_at(table + 8);
        if (!inside || high < low || high - low >= most_cases) return -1;
        end = table + 12;
        if (end + 4 * static_cast<u64>(high - low + 1) > length) return -1;
        for (s64 i = 0; i <= high - low; ++i, end += 4)
            targets.push_back(at + static_cast<s64>(s32_at(end)));
    } else {
        const s64 pairs = s32_at(table + 4);
        if (!inside || pairs < 0 || pairs >= most_cases) return -1;
        end = table + 8;
        if (end + 8 * static_cast<u64>(pairs) > length) return -1;
        for (s64 i = 0; i < pairs; ++i, end += 8)
            targets.push_back(at + static_cast<s64>(s32_at(end + 4)));
    }
    return inside ? static_cast<int>(end - at - 1) : -1;
}

instruction decode(const code_info& code, u32 at, bool wide) {
    instruction d{decode_instruction(code.begin, static_cast<u32>(code.end - code.begin), at, wide),
                  {}};
    if (d.operands < 0) {
        d.operands = decode_switch(code, at, d.op, d.switch_targets);
        d.fits = d.operands >= 0;
        d.operands = std::max(d.operands, 0);
        d.next = at + 1 + static_cast<u32>(d.operands);
    }
    return d;
}

bool is_return(u8 op) { return opcode_flow(op) == control_flow::return_; }

// Where the JVM goes on after `d`, inside a code of `length` bytes.
std::vector<u32> jvm_successors(const instruction& d, u32 length) {
    std::vector<u32> next;
    auto add = [&](s64 target) {
        if (target >= 0 && target < length) next.push_back(static_cast<u32>(target));
    };
    switch (d.jvm_flow) {
    case control_flow::switch_:
        for (s64 target : d.switch_targets) add(target);
        break;
    case control_flow::branch: add(d.target); [[fallthrough]];
    case control_flow::next:
    case control_flow::call: add(d.next); break;
    case control_flow::jump: add(d.target); break;
    case control_flow::return_:
    case control_flow::refused: break;
    }
    return next;
}

// Where this VM goes on after `d`, which it executes, inside a code of `length` bytes.
std::vector<u32> vm_successors(const instruction& d, u32 length) {
    std::vector<u32> next;
    if ((d.flow == control_flow::branch || d.flow == control_flow::jump) && d.target >= 0 &&
        d.target < length)
        next.push_back(static_cast<u32>(d.target));
    if (d.flow != control_flow::jump && d.flow != control_flow::return_ && d.next < length)
        next.push_back(d.next); // last, so that a path follows its fall-through first
    return next;
}

// "arrays are not supported (newarray, error 5)"
std::string refusal_finding(u8 op) {
    return format("%s (%s, error %d)", refusal_text(opcode_row(op).refused_as),
                  op < OPCODE_COUNT ? opcodes[op] : format("opcode 0x%02x", op).c_str(),
                  ERROR_UNKNOWN_OPCODE);
}

struct method_entry {
    int class_index = 0;
    u16 index = 0;
    u32 record = 0;
    std::string name;
    std::string descriptor;
    u16 id = 0;
    bool native = false;
    std::optional<code_info> code;
    bool reachable = false;
    bool is_main = false;
    bool uses_pool_locals = false;
    // Target of each invokestatic on the paths the VM can run, by offset (offset order is
    // the order the report and the call graph want); -1 where the VM cannot resolve it.
    std::map<u32, int> call_at;
    // Operand stack entries: the most this method's own code holds, and for each call the
    // entries the callee starts above (the caller's, its parameters taken). The stack is
    // shared by all activations, so a callee's entries come on top of these.
    int own_peak = 0;
    std::vector<std::pair<int, int>> calls_above; // (entries below the callee's, callee)
};

struct class_entry {
    std::string name;
    class_image image;
    std::vector<int> methods; // indices into the method list
    bool findable;            // a lookup by name can find it (counted, with the class id)
    u32 entry_at = 0;         // package offset of its directory entry
};

struct finding {
    int method;
    int offset; // -1 for findings about the method as a whole
    bool error;
    std::string problem;
    bool note = false; // neither error nor warning: said, not counted
};

class checker {
  public:
    checker(const std::vector<u8>& bytes, bool verbose, const mapfile::package_map* map,
            bool drive_model)
        : bytes_(bytes.data(), static_cast<u32>(bytes.size()), throw_damaged), verbose_(verbose),
          drive_model_(drive_model), map_(map) {}

    check_report run() {
        check_report report;
        const u32 magic = bytes_.size() >= 4 ? bytes_.u32_at(0) : 0;
        if (magic != PACKAGE_MAGIC && magic != CLASS_IMAGE_MAGIC) {
            report.is_package = false;
            report.text =
                "not a package: the file begins with neither package nor class image magic\n";
            return report;
        }
        try {
            read_classes(magic == PACKAGE_MAGIC);
            find_reachable();
            for (size_t m = 0; m < methods_.size(); ++m)
                if (methods_[m].reachable) check_method(static_cast<int>(m));
            check_call_depth();
            check_stack_depth();
            const bool any_error = std::any_of(findings_.begin(), findings_.end(),
                                               [](const finding& f) { return f.error; });
            if (main_never_returns_ && !any_error)
                findings_.push_back({main_, -1, false,
                                     "main never returns; the emulator runs until stopped", true});
        } catch (const damaged& d) {
            findings_.push_back({-1, -1, true, "damaged package: " + d.what});
        }
        write_report(report);
        return report;
    }

  private:
    void read_classes(bool is_package) {
        is_package_ = is_package;
        if (is_package) {
            // The VM starts at the first entry whatever the count and its id say; a lookup
            // by name sees only the counted entries that carry the class id.
            package_directory directory(&bytes_);
            const u32 count = directory.count();
            directory_entry entry = directory.entry_at(mirt2_package::first_class_info);
            if (count == 0)
                add(-1, -1, false,
                    "the directory counts no class: the VM runs the first entry's image all the "
                    "same, and no call finds a class by name");
            for (u32 i = 0;; ++i) {
                const bool counted = i < count && entry.id == mirt2_class_info::CLASS_ENTRY;
                if (i == 0 || counted) add_class(text(entry.name), entry.offset, counted, entry.at);
                if (i + 1 >= count) break;
                entry = directory.entry_at(entry.next);
            }
        } else {
            add_class("(class image)", 0, false);
        }
    }

    void add_class(const std::string& name, u32 offset, bool findable, u32 entry_at = 0) {
        class_entry c{name, class_image{&bytes_, offset}, {}, findable, entry_at};
        if (!bytes_.contains(offset, 4) || c.image.magic() != CLASS_IMAGE_MAGIC)
            throw damaged{format("entry %s does not lead to a class image", name.c_str())};
        const int class_index = static_cast<int>(classes_.size());
        for (u16 i = 0; i < c.image.methods_count(); ++i) {
            method_entry m;
            m.class_index = class_index;
            m.index = i;
            m.record = c.image.method(i);
            m.name = text(c.image.method_name(m.record));
            m.descriptor = text(c.image.method_descriptor(m.record));
            m.id = c.image.method_field(m.record, mirt_method_info::e_method_id);
            m.native = c.image.method_field(m.record, mirt_method_info::access_flags) & ACC_NATIVE;
            if (!m.native && c.image.method_field(m.record, mirt_method_info::attributes_count))
                m.code = c.image.code(m.record, i);
            c.methods.push_back(static_cast<int>(methods_.size()));
            methods_.push_back(m);
        }
        classes_.push_back(c);
    }

    // `offset`: a code offset, or -1 for a finding about the method as a whole.
    void add(int method, s64 offset, bool error, std::string problem) {
        findings_.push_back({method, static_cast<int>(offset), error, std::move(problem)});
    }

    // --- what runs -------------------------------------------------------------------------

    void find_reachable() {
        if (classes_.empty()) throw damaged{"the package holds no class"};
        const class_entry& start = classes_[0];
        start_this_class_ = start.image.this_class();
        main_ = -1;
        for (int m : start.methods) {
            if (methods_[m].id != JAVA_MAIN_METHOD) continue;
            if (main_ < 0) {
                main_ = m;
            } else {
                add(m, -1, false,
                    format("also carries the main identifier (its name begins with main), but "
                           "%s, earlier in the method table, is the one that runs",
                           methods_[main_].name.c_str()));
            }
        }
        if (main_ < 0) {
            findings_.push_back({-1, -1, true,
                                 format("class %s has no method named main: the VM stops with "
                                        "\"file doesn't contain a main method!\"",
                                        start.name.c_str())});
            return;
        }
        methods_[main_].is_main = true;
        std::vector<int> work{main_};
        methods_[main_].reachable = true;
        while (!work.empty()) {
            const int m = work.back();
            work.pop_back();
            resolve_calls(m);
            for (auto [at, callee] : methods_[m].call_at) {
                if (callee < 0 || methods_[callee].reachable) continue;
                methods_[callee].reachable = true;
                if (!methods_[callee].native) work.push_back(callee);
            }
        }
    }

    // Resolves, once and with its findings, each invokestatic on the paths through m's code.
    void resolve_calls(int m) {
        method_entry& method = methods_[m];
        if (!method.code) return;
        std::map<u32, u32> refs; // the method reference of each call, by offset
        walk(m, [&](const instruction& d, bool, const std::vector<u32>&) {
            if (d.op == OP_invokestatic && d.fits) refs[d.at] = d.operand;
            return true;
        });
        for (auto [at, ref] : refs) method.call_at[at] = resolve(m, static_cast<int>(at), ref);
    }
    int call_target(int m, u32 at) const {
        auto found = methods_[m].call_at.find(at);
        return found == methods_[m].call_at.end() ? -1 : found->second;
    }

    // The one walk over a method's code: from offset 0 along every path, each offset once,
    // calling visit(d, beyond_refusal, next) on each instruction; `next` holds where the path
    // goes on inside the code, and an answer of false ends the path there. Where the VM
    // refuses an instruction the path goes on as the JVM's would (beyond_refusal), so that
    // what lies behind the first refusal is found in the same run. The paths the VM runs are
    // all walked first, so that an offset both kinds reach is seen as the VM sees it.
    template <typename Visit> void walk(int m, Visit visit) {
        struct path_point {
            u32 at;
            bool wide; // a wide prefix is pending
        };
        const code_info& code = *methods_[m].code;
        const u32 length = static_cast<u32>(code.end - code.begin);
        std::set<u32> seen;
        std::vector<path_point> runs{{0, false}}, beyond;
        while (!runs.empty() || !beyond.empty()) {
            const bool behind = runs.empty();
            std::vector<path_point>& work = behind ? beyond : runs;
            const path_point p = work.back();
            work.pop_back();
            if (p.at >= length || !seen.insert(p.at).second) continue;
            const instruction d = decode(code, p.at, p.wide);
            const bool as_jvm = behind || !opcode_executed(d.op); // goes on as the JVM would
            const std::vector<u32> next = !d.fits  ? std::vector<u32>{}
                                          : as_jvm ? jvm_successors(d, length)
                                                   : vm_successors(d, length);
            if (!visit(d, behind, next)) continue;
            // The VM keeps a wide pending up to the next instruction that takes a local; the
            // JVM's wide belongs to the instruction right after it.
            const bool wide = d.op == OP_wide || (!as_jvm && p.wide && !opcode_takes_wide(d.op));
            for (u32 at : next) (as_jvm ? beyond : runs).push_back({at, wide});
        }
    }

    // Resolution as the VM does it; -1 (with an error) when the VM would stop.
    int resolve(int caller, int at, u32 ref) {
        const class_entry& from = classes_[methods_[caller].class_index];
        const std::optional<package_directory> directory =
            is_package_ ? std::optional<package_directory>(&bytes_) : std::nullopt;
        no_resolution_steps untraced;
        const method_resolution r = resolve_method(from.image, directory ? &*directory : nullptr,
                                                   start_this_class_, ref, false, untraced);
        int target_class = r.same_class ? methods_[caller].class_index : -1;
        for (size_t c = 0; c < classes_.size() && target_class < 0; ++c)
            if (classes_[c].findable && classes_[c].entry_at == r.entry.at)
                target_class = static_cast<int>(c);
        const std::string class_name = text(r.class_name);
        switch (r.end) {
        case resolution_end::found:
            if (!r.same_class && classes_[target_class].name != class_name)
                add(caller, at, false,
                    format("class %s is looked up as %s: the directory lookup takes the first "
                           "entry whose whole name begins the requested one",
                           class_name.c_str(), classes_[target_class].name.c_str()));
            return classes_[target_class].methods[r.method];
        case resolution_end::no_constant:
        case resolution_end::wrong_constant:
            add(caller, at, true,
                format("invokestatic names constant %u, which is no method reference", ref));
            return -1;
        case resolution_end::class_not_found:
            add(caller, at, true,
                format("class %s is not in the package (error %d)", class_name.c_str(),
                       ERROR_FUNCTION_NOT_FOUND));
            return -1;
        case resolution_end::not_a_class_image: // every counted entry was read as an image
            throw damaged{format("entry %s does not lead to a class image", class_name.c_str())};
        case resolution_end::method_not_found: break;
        }
        if (r.same_class) {
            add(caller, at, true,
                format("no method of this class has the name of constant %u (error %d)",
                       r.name_slot + 1, ERROR_FUNCTION_NOT_FOUND));
            return -1;
        }
        bool names_emptied = false;
        for (int m : classes_[target_class].methods) names_emptied |= methods_[m].name.empty();
        add(caller, at, true,
            format("class %s has no method %s (error %d)%s", classes_[target_class].name.c_str(),
                   text(r.wanted).c_str(), ERROR_FUNCTION_NOT_FOUND,
                   names_emptied ? "; its method names were removed with -OS" : ""));
        return -1;
    }

    // --- one method --------------------------------------------------------------------------

    void check_method(int m) {
        method_entry& method = methods_[m];
        if (method.native) {
            if (method.id == NO_METHOD_ID)
                add(m, -1, true,
                    format("native method without a drive function identifier: the VM stops "
                           "with error %d",
                           ERROR_FUNCTION_NOT_FOUND));
            else if (method.id == NATIVE_DISPLAY_LONG)
                add(m, -1, false, "SendLong shows only the low 32 bits of the value");
            else if (!emulated_native(method.id) && !(drive_model_ && model_native(method.id)))
                add(m, -1, false,
                    format("drive function %s (id %u) is not emulated: the emulator reports and "
                           "skips it",
                           method.name.c_str(), method.id));
            check_drive_signature(m);
            return;
        }
        check_parameters(m);
        if (!method.code) {
            add(m, -1, true, "has no Code attribute");
            return;
        }
        const code_info& code = *method.code;
        if (code.max_locals != 0 && code.locals + code.max_locals > LOCAL_POOL_ENTRIES)
            add(m, -1, true,
                format("local variables take pool entries %d to %d, beyond the %d there are (error "
                       "%d); the methods' shares: %s",
                       code.locals, code.locals + code.max_locals - 1, LOCAL_POOL_ENTRIES,
                       ERROR_LOCAL_POOL_OVERFLOW, pool_shares().c_str()));
        check_code(m);
    }

    // Every method's entries of the local pool, largest first: "T.f 5, T.main 3". The linker
    // hands out the pool in link order, so any of them may be what pushes a later one out.
    std::string pool_shares() const {
        std::vector<int> taking;
        for (size_t m = 0; m < methods_.size(); ++m)
            if (methods_[m].code && methods_[m].code->max_locals)
                taking.push_back(static_cast<int>(m));
        std::stable_sort(taking.begin(), taking.end(), [&](int a, int b) {
            return methods_[a].code->max_locals > methods_[b].code->max_locals;
        });
        std::string shares;
        for (int m : taking)
            shares += (shares.empty() ? "" : ", ") + where(m, -1) + " " +
                      std::to_string(methods_[m].code->max_locals);
        return shares;
    }

    // The VM dispatches the drive functions it carries out by identifier with a fixed shape,
    // whatever the declaration says; the others take the declared parameters and give back
    // zero of the declared type.
    void check_drive_signature(int m) {
        const method_entry& method = methods_[m];
        const method_id_row* row = find_method_id(method.id);
        if (!row) return;
        const std::optional<descriptor_shape> declared = ::parse_descriptor(
            method.descriptor.data(), static_cast<int>(method.descriptor.size()));
        if (!declared) return; // a descriptor of no shape is reported where it is called
        const std::string name(row->java_name());
        const char* function = name.c_str();
        if (drive_model_ && row->model_given()) {
            check_model_signature(m, *row, *declared);
            return;
        }
        if (!row->emulated()) {
            if (declared->parameters > 1 ||
                (declared->return_letter != 'I' && declared->return_letter != 'V'))
                add(m, -1, false,
                    format("drive function %s is declared %s: the device's functions take at most "
                           "one argument and give back an int or nothing",
                           function, method.descriptor.c_str()));
            return;
        }
        const std::string_view expected = drive_signature(row->shape);
        if (method.descriptor == expected) return;
        const std::optional<descriptor_shape> vm =
            ::parse_descriptor(expected.data(), static_cast<int>(expected.size()));
        std::vector<std::string> effects;
        const int passed = declared->parameters, taken = vm->parameters;
        const bool returns = declared->return_letter != 'V', gives = vm->return_letter != 'V';
        if (passed > taken)
            effects.push_back(format("the VM takes %d of the %d arguments: every call leaves %d "
                                     "%s on the operand stack",
                                     taken, passed, passed - taken,
                                     passed - taken == 1 ? "entry" : "entries"));
        if (passed < taken)
            effects.push_back("the VM takes an argument the call does not pass: every call takes "
                              "an entry of the caller's");
        if (returns && !gives)
            effects.push_back("the VM gives back no value: the caller takes an entry of its own "
                              "instead");
        if (!returns && gives)
            effects.push_back("the VM leaves its result on the operand stack at every call");
        const bool counts_agree = effects.empty();
        // The entries agree in number: only how they are read differs.
        if (counts_agree && taken == 1 && method.descriptor[1] != expected[1])
            effects.push_back(format("the VM reads the argument as %s",
                                     expected[1] == 'J' ? "a long" : "an int"));
        if (counts_agree && gives && declared->return_letter != 'I')
            effects.push_back("the VM gives back an int");
        std::string effect;
        for (const std::string& e : effects) effect += (effect.empty() ? "" : "; ") + e;
        add(m, -1, !counts_agree,
            format("drive function %s is declared %s, but the VM dispatches it as %s: %s", function,
                   method.descriptor.c_str(), std::string(expected).c_str(), effect.c_str()));
    }

    // The axis model reads the declared parameters as the default row takes them: the first
    // as an int (a long by its low 32 bits); it gives an int back.
    void check_model_signature(int m, const method_id_row& row, const descriptor_shape& declared) {
        const method_entry& method = methods_[m];
        const std::string_view expected = row.model_signature();
        if (method.descriptor == expected) return;
        const bool takes = expected[1] == 'I', gives = expected.back() == 'I';
        const int passed = declared.parameters;
        const char first = passed ? method.descriptor[1] : ')';
        std::vector<std::string> effects;
        if (takes && passed == 0) {
            if (row.axis == axis_action::set_position) return; // presets the home position
            effects.push_back("no argument is passed: the model reads 0");
        }
        if (!takes && passed > 0) effects.push_back("the model ignores the arguments");
        if (takes && passed > 1) effects.push_back("the model reads the first argument only");
        if (takes && first == 'J') effects.push_back("the model reads the low 32 bits of the long");
        if (takes && first != 'I' && first != 'J' && passed > 0)
            effects.push_back(format("the model reads the %c argument's bits as an int", first));
        const char returned = declared.return_letter;
        if (gives && returned == 'V') effects.push_back("the value the model gives is lost");
        if (gives && (returned == 'L' || returned == '['))
            effects.push_back("the program gets null, not the value the model gives");
        if (gives && returned == 'F')
            effects.push_back("a float holds the value exactly only up to 2^24");
        if (gives && (returned == 'Z' || returned == 'B' || returned == 'C' || returned == 'S'))
            effects.push_back(
                format("the int is not narrowed to the declared %s", returned == 'Z'   ? "boolean"
                                                                     : returned == 'B' ? "byte"
                                                                     : returned == 'C' ? "char"
                                                                                       : "short"));
        if (!gives && declared.return_letter != 'V') effects.push_back("the model gives back 0");
        if (effects.empty()) return;
        std::string effect;
        for (const std::string& e : effects) effect += (effect.empty() ? "" : "; ") + e;
        add(m, -1, false,
            format("drive function %s is declared %s, but the drive model reads it as %s: %s",
                   std::string(row.java_name()).c_str(), method.descriptor.c_str(),
                   std::string(expected).c_str(), effect.c_str()));
    }

    void check_parameters(int m) {
        const method_entry& method = methods_[m];
        descriptor_cursor parameters(method.descriptor.data(),
                                     static_cast<int>(method.descriptor.size()));
        int slots = 0;
        for (int c; (c = parameters.next_parameter()) != descriptor_cursor::END;) {
            if (c == ')') return;
            if (method.is_main) {
                add(m, -1, true, "main must not take parameters (the VM stops at once)");
                return;
            }
            if (c == 'I' || c == 'J') {
                if (slots > (c == 'I' ? PARAMETER_SLOTS - 1 : PARAMETER_SLOTS - 2)) {
                    add(m, -1, true,
                        format("parameters need more than 4 slots; the VM allows 4 ints or 2 "
                               "longs (error %d)",
                               ERROR_TOO_MANY_PARAMETERS));
                    return;
                }
                slots += c == 'I' ? 1 : 2;
                continue;
            }
            add(m, -1, true,
                format("parameter type %c is not int or long (error %d)", c, ERROR_PARAMETER_TYPE));
            return;
        }
        add(m, -1, true, "descriptor has no end of the parameter list");
    }

    void check_code(int m) {
        method_entry& method = methods_[m];
        const code_info& code = *method.code;
        const class_image& image = classes_[method.class_index].image;
        const u32 length = static_cast<u32>(code.end - code.begin);
        // Stack shapes for the type pass, one per reached offset.
        std::map<u32, std::string> shape{{0, ""}};
        if (length == 0) add(m, 0, true, "execution runs past the end of the code");
        bool a_path_ends = length == 0; // returns or stops; else every path loops
        walk(m, [&](const instruction& d, bool beyond_refusal, const std::vector<u32>& next) {
            const u32 at = d.at;
            const u8 op = d.op;
            if (beyond_refusal) {
                // The VM has stopped before this, and the stack it would hold is unknown:
                // only what it refuses (instructions, constants it cannot load) is looked for.
                if (!opcode_executed(op))
                    add(m, at, true, refusal_finding(op));
                else if (d.fits && (op == OP_ldc || op == OP_ldc_w || op == OP_ldc2_w))
                    check_constant(m, at, image, d.operand, op == OP_ldc2_w);
                return true;
            }
            if (!opcode_executed(op)) {
                add(m, at, true, refusal_finding(op));
                a_path_ends = true;
                return true; // on as the JVM goes
            }
            if (!d.fits) {
                add(m, at, true, "the instruction runs past the end of the code");
                a_path_ends = true;
                return false;
            }
            std::string stack = shape[at];
            check_instruction(m, d, image);
            if (d.flow == control_flow::branch || d.flow == control_flow::jump) {
                if (d.target < 0 || d.target >= length) {
                    add(m, at, true,
                        format("jump to %lld leaves the method's code",
                               static_cast<long long>(d.target)));
                    a_path_ends = true;
                    return false;
                }
                apply_stack(m, at, op, stack);
            } else if (d.flow == control_flow::call) {
                const size_t result = call_effect(image, d.operand, stack);
                method.calls_above.push_back(
                    {static_cast<int>(stack.size() - result), call_target(m, at)});
            } else {
                apply_stack(m, at, op, stack);
            }
            method.own_peak = std::max(method.own_peak, static_cast<int>(stack.size()));
            a_path_ends |= d.flow == control_flow::return_;
            if (d.flow != control_flow::return_ && d.flow != control_flow::jump &&
                d.next >= length) {
                add(m, at, true, "execution runs past the end of the code after this instruction");
                a_path_ends = true;
            }
            for (u32 to : next) shape.emplace(to, stack);
            return true;
        });
        if (m == main_ && !a_path_ends) main_never_returns_ = true;
    }

    // The rules of single instructions the VM executes, whatever the stack holds.
    void check_instruction(int m, const instruction& d, const class_image& image) {
        const u32 at = d.at;
        const u8 op = d.op;
        switch (op) {
        case OP_ldc:
        case OP_ldc_w:
        case OP_ldc2_w: check_constant(m, at, image, d.operand, op == OP_ldc2_w); break;
        case OP_iinc:
            if (d.operand >= REGISTER_LOCALS)
                add(m, at, true,
                    format("iinc of local %u: only locals 0 to 3 can be incremented (error %d)",
                           d.operand, ERROR_NOT_A_REGISTER_LOCAL));
            break;
        case OP_i2b:
        case OP_i2c:
        case OP_i2s:
            add(m, at, false,
                format("%s only retags the value: int instructions after it see the unnarrowed "
                       "int",
                       opcodes[op]));
            break;
        case OP_fcmpl:
        case OP_fcmpg:
        case OP_dcmpl:
        case OP_dcmpg:
            add(m, at, false,
                format("%s: a NaN compares as equal (0), not as Java says", opcodes[op]));
            break;
        case OP_f2i:
        case OP_f2l:
        case OP_d2i:
        case OP_d2l:
            add(m, at, false,
                format("%s gives MIN_VALUE for NaN, infinities and values out of range (Java "
                       "gives 0 or the nearest limit)",
                       opcodes[op]));
            break;
        default: break;
        }
        if (opcode_takes_wide(op) && op != OP_iinc) {
            methods_[m].uses_pool_locals = true;
            const code_info& code = *methods_[m].code;
            if (d.operand >= code.max_locals)
                add(m, at, true,
                    format("local %u is beyond this method's %u locals (error %d)", d.operand,
                           code.max_locals, ERROR_LOCAL_OUT_OF_RANGE));
        }
    }

    void check_constant(int m, u32 at, const class_image& image, u32 index, bool wide_value) {
        std::optional<u32> record = image.find_constant(index);
        if (!record) {
            add(m, at, true,
                format("constant %u does not exist (error %d)", index,
                       ERROR_CONSTANT_OUT_OF_RANGE));
            return;
        }
        const u8 tag = image.constant_tag_at(*record);
        if (!wide_value && tag == CONSTANT_String) {
            add(m, at, true,
                format("string constants are not supported (%s, error %d)",
                       string_text(image, *record).c_str(), ERROR_NOT_AN_INT));
            return;
        }
        if (!wide_value && tag != CONSTANT_Integer && tag != CONSTANT_Float)
            add(m, at, true,
                format("constant %u is no int or float (tag %u): strings and classes cannot be "
                       "loaded (error %d)",
                       index, tag, ERROR_NOT_AN_INT));
        if (wide_value && tag != CONSTANT_Long && tag != CONSTANT_Double)
            add(m, at, true,
                format("constant %u is no long or double (tag %u) (error %d)", index, tag,
                       ERROR_NOT_LONG_OR_DOUBLE));
    }

    // A String constant's text, quoted, for a message: at most 40 bytes, and only printable
    // ones; "a string" when the text is not where the constant says.
    static std::string string_text(const class_image& image, u32 record) {
        const std::optional<u32> utf8 = image.find_constant(
            image.constant_u16(record, CONSTANT_mirt_String_info_struct::string_index));
        if (!utf8 || image.constant_tag_at(*utf8) != CONSTANT_Utf8) return "a string";
        const u32 length = image.constant_u16(*utf8, CONSTANT_mirt_Utf8_info_struct::length);
        if (!image.bytes->contains(*utf8 + CONSTANT_mirt_Utf8_info_struct::bytes, length))
            return "a string";
        constexpr u32 shown = 40;
        std::string quoted = "\"";
        for (u32 i = 0; i < std::min(length, shown); ++i) {
            const u8 c = image.bytes->u8_at(*utf8 + CONSTANT_mirt_Utf8_info_struct::bytes + i);
            quoted += c >= 0x20 && c < 0x7F && c != '"' ? static_cast<char>(c) : '?';
        }
        return quoted + (length > shown ? "...\"" : "\"");
    }

    // A call takes one entry per parameter and gives back one for a result.
    // Takes the call's parameters off the shape and puts its result on; answers how many
    // entries the result adds (0 or 1).
    size_t call_effect(const class_image& image, u32 ref, std::string& stack) {
        std::optional<u32> methodref = image.find_constant(ref);
        if (!methodref) return 0; // reported by resolution
        const u16 nidx = image.constant_u16(
            *methodref, CONSTANT_mirt_Methodref_info_struct::name_and_type_index);
        std::optional<u32> nat = image.find_constant(nidx);
        if (!nat || image.constant_tag_at(*nat) != CONSTANT_NameAndType) return 0;
        const u16 descriptor_number =
            image.constant_u16(*nat, CONSTANT_mirt_NameAndType_info_struct::descriptor_index);
        std::optional<u32> descriptor_record = image.find_constant(descriptor_number);
        if (!descriptor_record || image.constant_tag_at(*descriptor_record) != CONSTANT_Utf8)
            return 0;
        const std::string descriptor = text(image.utf8_slot(descriptor_number - 1u));
        descriptor_cursor cursor(descriptor.data(), static_cast<int>(descriptor.size()));
        size_t parameters = 0;
        int c;
        while ((c = cursor.next_parameter()) != descriptor_cursor::END && c != ')') ++parameters;
        stack.erase(stack.size() - std::min(stack.size(), parameters));
        const int result = c == ')' ? cursor.return_letter() : descriptor_cursor::END;
        if (result == descriptor_cursor::END || result == 'V') return 0;
        stack += result == 'J' || result == 'D' ? "2" : "1";
        return 1;
    }

    // The category pass: only what the dup warnings need, no verification.
    void apply_stack(int m, u32 at, u8 op, std::string& stack) {
        // Entries a path does not have count as single ones, so the pass goes on with a shape
        // of the right length. In main the VM stops there; elsewhere the method takes what
        // its caller left on the shared stack.
        auto take = [&](size_t n) {
            const size_t have = std::min(n, stack.size());
            if (have < n) {
                if (methods_[m].is_main)
                    add(m, at, true,
                        format("%s takes more entries than the operand stack holds (error %d)",
                               opcodes[op], ERROR_STACK_UNDERFLOW));
                else
                    add(m, at, false,
                        format("%s takes entries that the caller left on the operand stack",
                               opcodes[op]));
            }
            std::string top = std::string(n - have, '1') + stack.substr(stack.size() - have);
            stack.erase(stack.size() - have);
            return top;
        };
        auto warn_if_wide = [&](size_t moved) {
            const std::string top = stack.substr(stack.size() - std::min(moved, stack.size()));
            if (top.find('2') != std::string::npos)
                add(m, at, false,
                    format("%s moves %zu single entries, but a long or double is among them: Java "
                           "moves it as two halves",
                           opcodes[op], moved));
        };
        auto dup_form = [&](size_t moved, size_t copied) {
            const std::string t = take(moved);
            stack += t.substr(moved - copied) + t;
        };
        const stack_effect e = opcode_row(op).effect;
        switch (e.kind) {
        case effect_kind::pop2:
            if (!stack.empty() && stack.back() == '2')
                take(1);
            else
                take(2);
            return;
        case effect_kind::stack_form:
            // moved: entries taken from the top; copied: how many of them go in again below.
            // Java's forms that move more than two entries, or two at once, take a long or
            // double as two halves.
            if (e.takes >= 3 || e.gives == 2) warn_if_wide(e.takes);
            if (e.gives == 0)
                take(e.takes);
            else
                dup_form(e.takes, e.gives);
            return;
        case effect_kind::swap: {
            std::string t = take(2);
            std::reverse(t.begin(), t.end());
            stack += t;
            return;
        }
        case effect_kind::plain:
            take(e.takes);
            stack += e.gives == 0 ? "" : e.gives == 1 ? "1" : "2";
            return;
        case effect_kind::call:
        case effect_kind::unknown: return;
        }
    }

    // Every instruction in code order, as javap -c lists them, whether a path reaches it or
    // not; operands as the bytes that follow.
    void disassemble(int m) {
        const code_info& code = *methods_[m].code;
        const u32 length = static_cast<u32>(code.end - code.begin);
        std::string& out = disassembly_[m];
        bool wide = false;
        for (u32 at = 0; at < length;) {
            const instruction d = decode(code, at, wide);
            out +=
                format("    %4u: %s", at, d.op < OPCODE_COUNT ? opcodes[d.op] : "(no instruction)");
            const u32 operands = d.fits ? static_cast<u32>(d.operands) : 0;
            for (u32 k = 1; k <= operands; ++k) out += format(" %02x", code.begin[at + k]);
            out += "\n";
            if (d.op == OP_wide)
                wide = true;
            else if (opcode_takes_wide(d.op))
                wide = false;
            at += 1 + operands;
        }
    }

    // --- calls ------------------------------------------------------------------------------

    void check_call_depth() {
        if (main_ < 0) return;
        std::map<int, int> depth; // activations below and including the method; -1 while open
        std::set<int> recursive;
        std::function<int(int)> nested = [&](int m) -> int {
            auto found = depth.find(m);
            if (found != depth.end()) {
                if (found->second < 0) recursive.insert(m);
                return std::max(found->second, 0);
            }
            depth[m] = -1;
            int below = 0;
            for (auto [at, callee] : methods_[m].call_at)
                if (callee >= 0)
                    below = std::max(below, methods_[callee].native ? 1 : nested(callee));
            return depth[m] = below + 1;
        };
        const int activations = nested(main_);
        if (activations - 1 > FRAME_LIMIT)
            add(main_, -1, true,
                format("calls nest %d deep; the frame stack holds %d callers (error %d)",
                       activations - 1, FRAME_LIMIT, ERROR_FRAME_OVERFLOW));
        for (int m : recursive) {
            const std::set<int> cycle = cycle_of(m);
            if (!returns_outside(m, cycle)) {
                add(m, -1, true,
                    format("calls itself again on every path: the frame stack overflows (error "
                           "%d)",
                           ERROR_FRAME_OVERFLOW));
                continue;
            }
            add(m, -1, false,
                format("is recursive: the depth depends on the data, and the VM stops at %d nested "
                       "calls",
                       FRAME_LIMIT));
            if (methods_[m].uses_pool_locals)
                add(m, -1, false,
                    "local variables 4 and up are shared by all activations of this method: a "
                    "recursive call overwrites them");
        }
    }

    // The operand stack is shared by every activation: a callee's entries come on top of
    // what its callers hold. Recursion is reported above; a cycle counts once here.
    void check_stack_depth() {
        if (main_ < 0) return;
        std::map<int, int> peak; // most entries while the method runs, from its first one
        std::function<int(int)> entries = [&](int m) -> int {
            auto found = peak.find(m);
            if (found != peak.end()) return found->second;
            const method_entry& method = methods_[m];
            int most = peak[m] = method.own_peak;
            for (auto [below, callee] : method.calls_above)
                if (callee >= 0 && methods_[callee].code)
                    most = std::max(most, below + entries(callee));
            return peak[m] = most;
        };
        const int most = entries(main_);
        if (most > STACK_LIMIT)
            add(main_, -1, true,
                format("the operand stack would hold %d entries along the calls from here; it "
                       "holds %d (error %d)",
                       most, STACK_LIMIT, ERROR_STACK_OVERFLOW));
    }

    // The methods that m reaches and that reach m back.
    std::set<int> cycle_of(int m) {
        auto reach = [&](int from) {
            std::set<int> seen;
            std::vector<int> work{from};
            while (!work.empty()) {
                const int at = work.back();
                work.pop_back();
                for (auto [offset, callee] : methods_[at].call_at)
                    if (callee >= 0 && seen.insert(callee).second) work.push_back(callee);
            }
            return seen;
        };
        std::set<int> cycle;
        for (int n : reach(m))
            if (n == m || reach(n).count(m)) cycle.insert(n);
        return cycle;
    }

    // Whether a return of m can be reached without calling a method of `cycle` first.
    bool returns_outside(int m, const std::set<int>& cycle) {
        bool returns = false;
        walk(m, [&](const instruction& d, bool, const std::vector<u32>&) {
            if (is_return(d.op)) returns = true;
            if (d.op != OP_invokestatic) return true;
            const int target = call_target(m, d.at);
            return target < 0 || !cycle.count(target);
        });
        return returns;
    }

    // --- report -----------------------------------------------------------------------------

    std::string where(int m, int offset) const {
        if (m < 0) return "package";
        const method_entry& method = methods_[m];
        std::string at = classes_[method.class_index].name + "." + method.name;
        return offset < 0 ? at : at + "@" + std::to_string(offset);
    }

    void write_report(check_report& report) {
        std::string& out = report.text;
        // Every method's code, as javap -c lists it; the method lines say which main cannot
        // reach.
        for (size_t m = 0; verbose_ && m < methods_.size(); ++m)
            if (methods_[m].code) disassemble(static_cast<int>(m));
        for (size_t c = 0; c < classes_.size(); ++c) {
            const class_entry& cls = classes_[c];
            out +=
                format("class %s (image at package offset %u)\n", cls.name.c_str(), cls.image.base);
            for (int m : cls.methods) {
                const method_entry& method = methods_[m];
                out += format("  method %u %s%s id %u", method.index, method.name.c_str(),
                              method.descriptor.c_str(), method.id);
                if (method.native) {
                    out += " native";
                } else if (method.code) {
                    if (method.code->max_locals)
                        out += format(" locals %u..%u", method.code->locals,
                                      method.code->locals + method.code->max_locals - 1);
                    else
                        out += " locals none";
                }
                out += format(" params %d", parameter_slots(method.descriptor));
                out += method.is_main     ? ": entry point"
                       : method.reachable ? ": reachable"
                                          : ": unreachable";
                out += "\n";
                auto code = disassembly_.find(m);
                if (code != disassembly_.end()) out += code->second;
            }
        }
        std::stable_sort(
            findings_.begin(), findings_.end(), [](const finding& a, const finding& b) {
                return a.method != b.method ? a.method < b.method : a.offset < b.offset;
            });
        for (const finding& f : findings_) {
            out += where(f.method, f.offset) +
                   (f.note    ? ": note: "
                    : f.error ? ": error: "
                              : ": warning: ") +
                   f.problem + source_line(f) + "\n";
            if (!f.note) (f.error ? report.errors : report.warnings) += 1;
        }
        out +=
            format("summary: %d error%s, %d warning%s\n", report.errors,
                   report.errors == 1 ? "" : "s", report.warnings, report.warnings == 1 ? "" : "s");
    }

    // Local variable slots the parameters fill: two for a long or double, one for the rest.
    static int parameter_slots(const std::string& descriptor) {
        descriptor_cursor cursor(descriptor.data(), static_cast<int>(descriptor.size()));
        int slots = 0;
        for (int c; (c = cursor.next_parameter()) != descriptor_cursor::END && c != ')';)
            slots += c == 'J' || c == 'D' ? 2 : 1;
        return slots;
    }

    package_bytes bytes_;
    bool verbose_;
    bool drive_model_;
    std::vector<class_entry> classes_;
    std::vector<method_entry> methods_;
    std::vector<finding> findings_;
    const mapfile::package_map* map_;

    // " (Blink.java:12)" for a finding at an offset whose line the map has.
    std::string source_line(const finding& f) const {
        if (!map_ || f.method < 0 || f.offset < 0) return "";
        const method_entry& m = methods_[f.method];
        const mapfile::class_entry* owner = nullptr;
        const mapfile::method_entry* mapped = mapfile::find_method(
            *map_, classes_[m.class_index].image.base, static_cast<u16>(m.index), &owner);
        const u32 line = mapped ? mapfile::line_of(*mapped, static_cast<u32>(f.offset)) : 0;
        if (!line) return "";
        return " (" + mapfile::source_place(*owner, line) + ")";
    }
    std::map<int, std::string> disassembly_;
    u16 start_this_class_ = 0;
    bool is_package_ = false; // a directory to find classes in, not a bare class image
    int main_ = -1;
    bool main_never_returns_ = false; // every path through main's own code loops
};

} // namespace

check_report check_package(const std::vector<u8>& bytes, bool verbose,
                           const mapfile::package_map* map, bool drive_model) {
    return checker(bytes, verbose, map, drive_model).run();
}

int check_exit_status(const check_report& report) {
    if (!report.is_package) return 2;
    return report.errors ? 1 : 0;
}
