// Every fused step, from the one list that declares them: a minimal method holding its
// sequence must make the proof pass select that step, and run to the same end in the
// checked body (one opcode at a time) and the unchecked one (the step), on edge values and
// both outcomes of a branch.
#include <cmath>
#include <limits>
#include <set>
#include <sstream>

#include "mirt_proof.h"
#include "vm_harness.h"

using namespace testing_support;

namespace {

using int_limits = std::numeric_limits<s32>;
using long_limits = std::numeric_limits<s64>;

// Operands: 0, ±1, the ends, shift distances of 31, 32 and beyond, negative ones, bits
// that tell & from | and ^.
const s32 int_values[] = {0, 1, -1, int_limits::min(), int_limits::max(), 31, 32, -33, 0x5A5A1234};
const s64 long_values[] = {0, 1, -1, long_limits::min(), long_limits::max(), 0x123456789ALL};
const float float_values[] = {0.0f,
                              -0.0f,
                              1.0f,
                              -1.5f,
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::denorm_min(),
                              std::numeric_limits<float>::quiet_NaN()};
const double double_values[] = {0.0,
                                -0.0,
                                1.0,
                                -1.5,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::quiet_NaN()};
// The constants of each encoding: iconst_<n>; bipush or ldc; sipush or ldc_w (an ldc takes
// any int).
const std::vector<s32> short_constants[3] = {
    {-1, 0, 1, 5}, {-128, -1, 0, 31, 32, 127, 7}, {-32768, -33, 64, 32767, 0x100}};
const s32 pool_constants[] = {int_limits::min(), int_limits::max(), 33, -7, 0};
const s32 increments[] = {-128, -1, 0, 1, 127};

// One stack or local operand of a sequence.
struct operand {
    u8 tag;
    u64 bits;
};

// The type of the stack entries the first opcode of a sequence takes (its constant's
// operation for an operation with a constant).
u8 entry_tag(u8 op) {
    switch (op) {
    case OP_lcmp:
    case OP_lshl:
    case OP_lshr:
    case OP_lushr: return TYPE_LONG;
    case OP_fcmpl:
    case OP_fcmpg: return TYPE_FLOAT;
    case OP_dcmpl:
    case OP_dcmpg: return TYPE_DOUBLE;
    default: return TYPE_INT;
    }
}

std::vector<operand> values_of(u8 tag) {
    std::vector<operand> values;
    if (tag == TYPE_INT)
        for (s32 v : int_values) values.push_back({tag, static_cast<u32>(v)});
    if (tag == TYPE_LONG)
        for (s64 v : long_values) values.push_back({tag, static_cast<u64>(v)});
    if (tag == TYPE_FLOAT)
        for (float v : float_values) values.push_back({tag, std::bit_cast<u32>(v)});
    if (tag == TYPE_DOUBLE)
        for (double v : double_values) values.push_back({tag, std::bit_cast<u64>(v)});
    return values;
}

// One case of a step: the opcodes of its either parts (low or high), the operands, and
// its constant with the encoding (short: iconst_<n>, bipush, sipush; else a pool load).
struct step_case {
    bool high = false;
    std::vector<operand> stack; // deepest first
    std::vector<s32> locals;    // of the load parts, in order
    s32 constant = 0;
    bool short_constant = true;
    operand known{};
};

// The method for `c`: the operands stored and pushed, a nop that fuses with nothing, the
// sequence, and after a branch one constant for each way.
struct built_method {
    bytes code;
    u32 at = 0; // where the sequence begins
};
built_method build(const fused_pattern& pattern, const step_case& c, image_builder& image) {
    built_method m;
    auto pool_load = [&](const operand& v) {
        const bool two = v.tag == TYPE_LONG || v.tag == TYPE_DOUBLE;
        const u16 index = v.tag == TYPE_INT ? image.integer(static_cast<s32>(v.bits))
                          : v.tag == TYPE_FLOAT
                              ? image.float_constant(std::bit_cast<float>(static_cast<u32>(v.bits)))
                          : v.tag == TYPE_LONG
                              ? image.long_constant(static_cast<s64>(v.bits))
                              : image.double_constant(std::bit_cast<double>(v.bits));
        if (two) return bytes{OP_ldc2_w, static_cast<u8>(index >> 8), static_cast<u8>(index)};
        return bytes{OP_ldc_w, static_cast<u8>(index >> 8), static_cast<u8>(index)};
    };
    for (size_t i = 0; i < c.locals.size(); ++i)
        m.code = m.code + pool_load({TYPE_INT, static_cast<u32>(c.locals[i])}) +
                 bytes{static_cast<u8>(OP_istore_1 + i)};
    for (const operand& v : c.stack) m.code = m.code + pool_load(v);
    m.code.push_back(OP_nop);
    m.at = static_cast<u32>(m.code.size());
    int loads = 0;
    bool branches = false;
    for (int k = 0; k < pattern.count; ++k) {
        const fused_part& part = pattern.parts[k];
        if (part.kind == fused_part_kind::known_constant) {
            const bytes load = pool_load(c.known);
            const u16 index = static_cast<u16>(load[1] << 8 | load[2]);
            if (part.low == OP_ldc)
                m.code = m.code + bytes{OP_ldc, static_cast<u8>(index)};
            else
                m.code = m.code + bytes{part.low, load[1], load[2]};
            continue;
        }
        if (part.kind == fused_part_kind::constant) {
            const s32 v = c.constant;
            const u16 index = c.short_constant ? 0 : image.integer(v);
            if (part.bytes == 1)
                m.code.push_back(static_cast<u8>(OP_iconst_0 + v));
            else if (part.bytes == 2 && c.short_constant)
                m.code = m.code + bytes{OP_bipush, static_cast<u8>(v)};
            else if (part.bytes == 2)
                m.code = m.code + bytes{OP_ldc, static_cast<u8>(index)};
            else if (c.short_constant)
                m.code = m.code + bytes{OP_sipush, static_cast<u8>(v >> 8), static_cast<u8>(v)};
            else
                m.code =
                    m.code + bytes{OP_ldc_w, static_cast<u8>(index >> 8), static_cast<u8>(index)};
            continue;
        }
        const u8 op = c.high ? part.high : part.low;
        if (op == OP_iload_0) { // a load part: the locals from 1 on
            m.code.push_back(static_cast<u8>(OP_iload_1 + loads++));
        } else if (op == OP_iinc) {
            m.code = m.code + bytes{OP_iinc, 1, static_cast<u8>(c.constant)};
        } else if (op == OP_goto) {
            m.code = m.code + bytes{OP_goto, 0, 4, OP_iconst_0}; // over an entry it would push
        } else if (opcode_flow(op) == control_flow::branch) {
            m.code = m.code + bytes{op, 0, 5};
            branches = true;
        } else {
            m.code.push_back(op);
        }
    }
    m.code = m.code +
             (branches ? bytes{OP_iconst_0, OP_return, OP_iconst_1, OP_return} : bytes{OP_return});
    return m;
}

// The cases of a step: every operand set its first part needs, every constant of its
// encoding, both opcodes of an either part.
std::vector<step_case> cases_of(const fused_pattern& pattern) {
    std::vector<step_case> cases;
    const fused_part& first = pattern.parts[0];
    if (first.kind == fused_part_kind::known_constant) {
        for (const operand& v : values_of(first.tag)) cases.push_back({false, {}, {}, 0, true, v});
        if (first.tag == TYPE_INT) // the pool's ints whole, beyond a short's range
            for (s32 v : pool_constants)
                cases.push_back({false, {}, {}, 0, true, {TYPE_INT, static_cast<u32>(v)}});
        return cases;
    }
    int loads = 0, constant_bytes = 0;
    bool either = false; // a part of two opcodes or more: its lowest and its highest are run
    for (int k = 0; k < pattern.count; ++k) {
        loads +=
            pattern.parts[k].kind == fused_part_kind::opcode && pattern.parts[k].low == OP_iload_0;
        either |= pattern.parts[k].low != pattern.parts[k].high;
        if (pattern.parts[k].kind == fused_part_kind::constant)
            constant_bytes = pattern.parts[k].bytes;
    }
    std::vector<std::vector<s32>> constants{{0}};
    if (first.low == OP_iinc)
        constants = {std::vector<s32>(std::begin(increments), std::end(increments))};
    // stack operands: two of the first opcode's type, or one below an int constant
    int entries = 0;
    u8 tag = TYPE_INT;
    if (constant_bytes != 0) {
        constants = {short_constants[constant_bytes - 1]};
        if (constant_bytes > 1)
            constants.emplace_back(std::begin(pool_constants), std::end(pool_constants));
        if (first.kind == fused_part_kind::constant) {
            entries = 1;
            tag = entry_tag(pattern.parts[1].low);
        }
    } else if (loads == 0 && first.low != OP_iinc) {
        entries = 2;
        tag = entry_tag(first.low);
    }
    const int local_count = first.low == OP_iinc ? 1 : loads;
    const std::vector<operand> values = values_of(tag);
    // every pair of values for two operands, every value for one
    std::vector<std::vector<operand>> operand_sets;
    const int operands = entries + local_count;
    for (const operand& a : values) {
        if (operands == 1)
            operand_sets.push_back({a});
        else
            for (const operand& b : values) operand_sets.push_back({a, b});
    }
    for (bool high : {false, true}) {
        if (high && !either) break;
        for (size_t encoding = 0; encoding < constants.size(); ++encoding)
            for (s32 constant : constants[encoding])
                for (const std::vector<operand>& set : operand_sets) {
                    step_case c;
                    c.high = high;
                    c.constant = constant;
                    c.short_constant = encoding == 0;
                    for (const operand& v : set) {
                        if (static_cast<int>(c.locals.size()) < local_count)
                            c.locals.push_back(static_cast<s32>(v.bits));
                        else
                            c.stack.push_back(v);
                    }
                    cases.push_back(c);
                }
    }
    return cases;
}

// Everything a run leaves: output, status, instructions, pc, stack and register locals.
std::string run_end(const bytes& input, bool unchecked) {
    reset_vm();
    hand_over(input, false);
    vm_set_verified_fast_path(unchecked);
    const run_result r = capture([] {
        vm_init();
        vm_run();
    });
    std::ostringstream end;
    end << r.output << "status " << r.status << " count " << vm_instructions_executed() << " pc "
        << vm_code_offset().value_or(-1) << " stack";
    for (int i = 0; i < vm_stack_depth(); ++i)
        end << ' ' << int(vm_stack_entry(i).type) << ':' << std::hex << vm_stack_entry(i).value.U64
            << std::dec;
    for (const variable& local : vm_register_locals())
        end << " local " << int(local.type) << ':' << std::hex << local.value.U64 << std::dec;
    return end.str();
}

// The proof of the method the last run stopped in (main: the built methods make no calls).
const method_proof* proof_of_last_run() {
    return proof_of(vm_running_image(), vm_current_frame().method, [] { return code_info{}; });
}

TEST(FusedSteps, EachIsSelectedAndEndsAsItsOpcodes) {
    int steps_run = 0, runs = 0;
    for (const fused_pattern& pattern : fused_patterns) {
        const std::string name = fused_step_name(pattern.step);
        const std::vector<step_case> cases = cases_of(pattern);
        std::set<std::string> outcomes;
        const fused_part& last = pattern.parts[pattern.count - 1];
        const bool branches =
            last.kind == fused_part_kind::opcode && opcode_flow(last.low) == control_flow::branch;
        int selected = 0, differ = 0;
        for (const step_case& c : cases) {
            image_builder image;
            image.set_this_class(image.class_constant("T"));
            const built_method m = build(pattern, c, image);
            image.method(java_method("main", "()V", m.code, JAVA_MAIN_METHOD));
            const bytes input = make_package({{"T", image.build()}});
            const std::string checked = run_end(input, false);
            const std::string unchecked = run_end(input, true);
            const method_proof* proof = proof_of_last_run();
            selected += proof && proof->holds && proof_steps(*proof)[m.at].handler == pattern.step;
            if (checked != unchecked && ++differ == 1)
                ADD_FAILURE() << name
                              << ": checked and unchecked ends differ\n  checked:   " << checked
                              << "\n  unchecked: " << unchecked;
            // a branch: which constant it left, else the whole end
            outcomes.insert(branches ? std::to_string(stack_top().value.S32) : checked);
            ++runs;
        }
        EXPECT_EQ(selected, static_cast<int>(cases.size())) << name << " not selected";
        EXPECT_EQ(differ, 0) << name << ": " << differ << " of " << cases.size() << " differ";
        EXPECT_GT(outcomes.size(), 1u) << name << ": every case ended alike (a branch: "
                                       << "taken or not every time)";
        steps_run += !cases.empty();
    }
    EXPECT_EQ(steps_run, FUSED_STEP_COUNT);
    std::printf("%d fused steps, %d cases\n", steps_run, runs);
}

// Sequences javac writes for common statements, and the step each must fuse into. The test
// above builds its sequences from the declarations themselves, so it cannot see a family
// declared narrower than javac's code (only dcmpl, no istore_0, a constant of the wrong
// length); these rows can.
struct javac_sequence {
    const char* java;
    bytes code; // of main ()V; ints in locals 0 to 2 where it needs them
    std::vector<std::pair<u32, const char*>> steps; // offset, step
};
const bytes int_locals{OP_iconst_1, OP_istore_0, OP_iconst_2,
                       OP_istore_1, OP_iconst_3, OP_istore_2};
const javac_sequence javac_sequences[] = {
    {"for (int i = 0; i < 10; i++) {}",
     {OP_iconst_0, OP_istore_1, OP_iload_1, OP_bipush, 10, OP_if_icmpge, 0, 9, OP_iinc, 1, 1,
      OP_goto, 0xFF, 0xF7, OP_return},
     {{2, "compare_local_constant_ge"}, {8, "increment_goto"}}},
    {"if (d < e) (doubles)",
     {OP_dconst_0, OP_dconst_1, OP_dcmpg, OP_ifge, 0, 4, OP_return, OP_return},
     {{2, "dcmp_ifge"}}},
    {"if (d > e) (doubles)",
     {OP_dconst_0, OP_dconst_1, OP_dcmpl, OP_ifle, 0, 4, OP_return, OP_return},
     {{2, "dcmp_ifle"}}},
    {"if (f <= g) (floats)",
     {OP_fconst_0, OP_fconst_1, OP_fcmpg, OP_ifgt, 0, 4, OP_return, OP_return},
     {{2, "fcmp_ifgt"}}},
    {"a = b + c (a the first local)",
     int_locals + bytes{OP_iload_1, OP_iload_2, OP_iadd, OP_istore_0, OP_return},
     {{6, "assign_iadd"}}},
    {"a = a * b + c",
     int_locals +
         bytes{OP_iload_0, OP_iload_1, OP_imul, OP_iload_2, OP_iadd, OP_istore_0, OP_return},
     {{10, "iadd_istore"}}},
    {"while (b != -117) b -= 7 (b from 2)",
     int_locals + bytes{OP_iload_1, OP_bipush, 0x8B, OP_if_icmpeq, 0, 9, OP_iinc, 1, 0xF9, OP_goto,
                        0xFF, 0xF7, OP_return},
     {{6, "compare_local_constant_eq"}, {12, "increment_goto"}}},
    {"b & 0xFF",
     int_locals + bytes{OP_iload_1, OP_sipush, 0, 0xFF, OP_iand, OP_pop, OP_return},
     {{6, "local_constant3_iand"}}},
};

TEST(FusedSteps, JavacSequencesFuse) {
    for (const javac_sequence& row : javac_sequences) {
        image_builder image;
        image.set_this_class(image.class_constant("T"));
        image.method(java_method("main", "()V", row.code, JAVA_MAIN_METHOD));
        const bytes input = make_package({{"T", image.build()}});
        const std::string checked = run_end(input, false);
        EXPECT_EQ(run_end(input, true), checked) << row.java; // the last run's proof is read
        const method_proof* proof = proof_of_last_run();
        ASSERT_TRUE(proof && proof->holds) << row.java;
        for (const auto& [at, step] : row.steps) {
            const u16 handler = proof_steps(*proof)[at].handler;
            EXPECT_EQ(handler > FUSED_BEFORE_FIRST ? fused_step_name(handler)
                                                   : "opcode " + std::to_string(handler),
                      step)
                << row.java << " at " << at;
        }
    }
}

} // namespace
