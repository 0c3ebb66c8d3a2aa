// Instructions run one at a time on a small main: constants, locals, arithmetic,
// conversions, comparisons and branches, and the split into executed and unknown opcodes.
#include <cmath>
#include <cstring>
#include <limits>

#include "vm_harness.h"

using namespace testing_support;

namespace {

run_result run_code(const bytes& code, const std::function<void(image_builder&)>& setup = {},
                    u16 max_locals = 0) {
    return run_package(single_class(code, setup, max_locals));
}

u64 double_bits(double d) { return std::bit_cast<u64>(d); }

TEST(Constants, PushTheirValuesAndTags) {
    struct constant_case {
        bytes code;
        u8 tag;
        u64 bits; // compared through the member of the tag
    };
    const constant_case cases[] = {
        {{OP_aconst_null}, TYPE_VOID, 0},
        {{OP_iconst_m1}, TYPE_INT, 0xFFFFFFFF},
        {{OP_iconst_0}, TYPE_INT, 0},
        {{OP_iconst_5}, TYPE_INT, 5},
        {{OP_lconst_0}, TYPE_LONG, 0},
        {{OP_lconst_1}, TYPE_LONG, 1},
        {{OP_fconst_0}, TYPE_FLOAT, 0x00000000},
        {{OP_fconst_1}, TYPE_FLOAT, 0x3f800000},
        {{OP_fconst_2}, TYPE_FLOAT, 0x40000000},
        {{OP_dconst_0}, TYPE_DOUBLE, double_bits(0.0)},
        {{OP_dconst_1}, TYPE_DOUBLE, double_bits(1.0)},
        {{OP_bipush, 0xff}, TYPE_INT, 0xFFFFFFFF},
        {{OP_bipush, 0x7f}, TYPE_INT, 127},
        {{OP_sipush, 0x80, 0x00}, TYPE_INT, 0xFFFF8000},
        {{OP_sipush, 0x00, 0xff}, TYPE_INT, 255},
    };
    for (const constant_case& c : cases) {
        bytes code = c.code;
        code.push_back(OP_return);
        run_result r = run_code(code);
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(stack_counter, 1);
        if (r.status != 0 || stack_counter != 1) continue; // the next case all the same
        EXPECT_EQ(stack_top().type, c.tag) << int(c.code[0]);
        const var_data& v = stack_top().value;
        u64 seen = c.tag == TYPE_LONG || c.tag == TYPE_DOUBLE ? v.U64
                   : c.tag == TYPE_VOID                       ? v.U8
                                                              : v.U32;
        EXPECT_EQ(seen, c.bits) << int(c.code[0]);
    }
}

TEST(Constants, PoolLoadsCopyTheStoredBytes) {
    u16 integer = 0, floating = 0, wide_long = 0, wide_double = 0;
    auto setup = [&](image_builder& image) {
        integer = image.integer(100000);
        floating = image.float_constant(2.5f);
        wide_long = image.long_constant(0x0000000100000002LL);
        wide_double = image.double_constant(-1.25);
    };
    run_result r = run_code(
        {OP_ldc, 1, OP_ldc_w, 0, 1, OP_ldc, 2, OP_ldc2_w, 0, 3, OP_ldc2_w, 0, 5, OP_return}, setup);
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(integer, 1);
    ASSERT_EQ(wide_double, 5);
    ASSERT_EQ(stack_counter, 5);
    EXPECT_EQ(stack_top(4).type, TYPE_INT);
    EXPECT_EQ(stack_top(4).value.S32, 100000);
    EXPECT_EQ(stack_top(3).value.S32, 100000);
    EXPECT_EQ(stack_top(2).type, TYPE_FLOAT);
    EXPECT_EQ(stack_top(2).value.F, 2.5f);
    EXPECT_EQ(stack_top(1).type, TYPE_LONG);
    EXPECT_EQ(stack_top(1).value.S64, 4294967298LL);
    EXPECT_EQ(stack_top(0).type, TYPE_DOUBLE);
    EXPECT_EQ(stack_top(0).value.D, -1.25);
    (void)floating, (void)wide_long;
}

TEST(Constants, PoolLoadFailures) {
    auto setup = [](image_builder& image) {
        image.string_constant("text"); // #1 utf8 text, #2 String
        image.integer(3);              // #3
        image.long_constant(7);        // #4, #5 holds nothing
    };
    // Pool: #1..#5 above, #6 utf8 T, #7 Class T, #8 Code, #9 main, #10 ()V: count 11.
    struct failure_case {
        bytes code;
        const char* message;
    };
    const failure_case cases[] = {
        {{OP_ldc, 11}, "ERROR: out of range in constant pool 11"},
        {{OP_ldc, 8}, "ERROR: local var is not an TYPE_INT: 1"},
        {{OP_ldc_w, 1, 0}, "ERROR: out of range in constant pool 256"},
        {{OP_ldc, 0}, "ERROR: out of range in constant pool 0"},
        {{OP_ldc2_w, 0, 5}, "ERROR: out of range in constant pool 5"}, // slot behind a long
        {{OP_ldc, 2}, "ERROR: local var is not an TYPE_INT: 8"},
        {{OP_ldc, 4}, "ERROR: local var is not an TYPE_INT: 5"},
        {{OP_ldc2_w, 0, 3}, "ERROR: expected long or double but got 3"},
        // the same numbers again after a load of them succeeded: a value read once must
        // not stand in for a load of another kind or of another number
        {{OP_ldc, 3, OP_ldc2_w, 0, 3}, "ERROR: expected long or double but got 3"},
        {{OP_ldc2_w, 0, 4, OP_ldc, 4}, "ERROR: local var is not an TYPE_INT: 5"},
        {{OP_ldc2_w, 0, 4, OP_ldc_w, 0, 4}, "ERROR: local var is not an TYPE_INT: 5"},
        {{OP_ldc, 3, OP_ldc_w, 0, 3 + 64}, "ERROR: out of range in constant pool 67"},
    };
    for (const failure_case& c : cases) {
        bytes code = c.code;
        code.push_back(OP_return);
        run_result r = run_code(code, setup);
        EXPECT_EQ(last_line(r.output), c.message);
        EXPECT_EQ(r.status, 255);
    }
}

TEST(Constants, NineteenthPushOverflows) {
    bytes code(STACK_LIMIT, OP_iconst_1);
    code.push_back(OP_return);
    EXPECT_EQ(run_code(code).status, 0);
    code.insert(code.begin(), OP_iconst_1);
    run_result r = run_code(code);
    EXPECT_EQ(last_line(r.output), "ERROR: stack overflow!");
}

TEST(Trace, FollowsEveryInstructionButTheFinalReturn) {
    run_result r = run_package(single_class({OP_iconst_5, OP_nop, OP_return}), true);
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(
        r.output.ends_with("==> descriptor ()V\n"
                           "\t\topcode: 0x08 (8) iconst_5 \tvars: NULL \t NULL \t NULL \t NULL \t\n"
                           "\t\tStack: (1) int: 5 \t\n"
                           "\t\topcode: 0x00 (0) nop \tvars: NULL \t NULL \t NULL \t NULL \t\n"
                           "\t\tStack: (1) int: 5 \t\n"))
        << r.output;
}

// Every byte value either executes or takes the one unknown-opcode path.
TEST(Dispatch, EveryByteValueReachesHandlerOrUnknownPath) {
    const std::vector<int> unknown = [] {
        std::vector<int> ops = {0x19, 0x2a, 0x2b, 0x2c, 0x2d, 0x3a, 0x4b, 0x4c,
                                0x4d, 0x4e, 0x72, 0x73, 0xa5, 0xa6, 0xa8, 0xa9,
                                0xaa, 0xab, 0xb0, 0xc5, 0xc6, 0xc7, 0xc9, 0xca};
        for (int op = 0x2e; op <= 0x35; ++op) ops.push_back(op);
        for (int op = 0x4f; op <= 0x56; ++op) ops.push_back(op);
        for (int op = 0xb2; op <= 0xc3; ++op)
            if (op != 0xb8) ops.push_back(op);
        for (int op = 0xcb; op <= 0xff; ++op) ops.push_back(op);
        return ops;
    }();
    EXPECT_EQ(256 - unknown.size(), 146u);
    for (int op = 0; op < 256; ++op) {
        // Enough operand bytes and stack values for any executed opcode to get going.
        bytes code = {OP_iconst_1, OP_iconst_1, OP_iconst_1, OP_iconst_1, static_cast<u8>(op),
                      0,           3,           0,           0,           OP_return};
        run_result r = run_code(code, {}, 4);
        bool is_unknown = std::find(unknown.begin(), unknown.end(), op) != unknown.end();
        std::string unknown_prefix = "ERROR: unknown opcode: " + std::to_string(op) + " (";
        EXPECT_EQ(last_line(r.output).starts_with(unknown_prefix), is_unknown)
            << "opcode " << op << ": " << last_line(r.output);
        EXPECT_EQ(opcode_executed(static_cast<u8>(op)), !is_unknown) << "opcode " << op;
    }
}

} // namespace

namespace {

// Pushes `values` (through constant loads, bottom first), runs `ops`, returns from main.
run_result run_on(const std::vector<variable>& values, const bytes& ops, u16 max_locals = 0) {
    std::vector<u16> numbers;
    auto setup = [&](image_builder& image) {
        for (const variable& v : values) {
            switch (v.type) {
            case TYPE_INT: numbers.push_back(image.integer(v.value.S32)); break;
            case TYPE_FLOAT: numbers.push_back(image.float_constant(v.value.F)); break;
            case TYPE_LONG: numbers.push_back(image.long_constant(v.value.S64)); break;
            default: numbers.push_back(image.double_constant(v.value.D)); break;
            }
        }
    };
    // The constant numbers are known only once setup ran; build twice.
    bytes code;
    single_class({}, setup);
    for (size_t i = 0; i < values.size(); ++i) {
        const bool wide_value = values[i].type == TYPE_LONG || values[i].type == TYPE_DOUBLE;
        code.push_back(wide_value ? OP_ldc2_w : OP_ldc_w);
        code.push_back(static_cast<u8>(numbers[i] >> 8));
        code.push_back(static_cast<u8>(numbers[i]));
    }
    code.insert(code.end(), ops.begin(), ops.end());
    code.push_back(OP_return);
    numbers.clear();
    return run_package(single_class(code, setup, max_locals));
}

struct op_case {
    const char* what;
    std::vector<variable> operands;
    u8 op;
    variable expected; // compared by tag and the member of the tag
};

void expect_result(const op_case& c) {
    run_result r = run_on(c.operands, {c.op});
    ASSERT_EQ(r.status, 0) << c.what << r.output;
    ASSERT_EQ(stack_counter, 1) << c.what;
    const variable top = stack_top();
    EXPECT_EQ(top.type, c.expected.type) << c.what;
    switch (c.expected.type) {
    case TYPE_LONG: EXPECT_EQ(top.value.S64, c.expected.value.S64) << c.what; break;
    case TYPE_DOUBLE:
        EXPECT_EQ(std::bit_cast<u64>(top.value.D), std::bit_cast<u64>(c.expected.value.D))
            << c.what;
        break;
    case TYPE_FLOAT:
        EXPECT_EQ(std::bit_cast<u32>(top.value.F), std::bit_cast<u32>(c.expected.value.F))
            << c.what;
        break;
    default: EXPECT_EQ(top.value.S32, c.expected.value.S32) << c.what; break;
    }
}

constexpr s32 INT_MIN_V = std::numeric_limits<s32>::min();
constexpr s64 LONG_MIN_V = std::numeric_limits<s64>::min();
const float F_INF = std::numeric_limits<float>::infinity();
const double D_INF = std::numeric_limits<double>::infinity();
const float F_NAN = std::numeric_limits<float>::quiet_NaN();
const double D_NAN = std::numeric_limits<double>::quiet_NaN();

TEST(Arithmetic, WrapsTruncatesAndFollowsIeee) {
    const op_case cases[] = {
        {"iadd wraps", {int_v(2147483647), int_v(1)}, OP_iadd, int_v(INT_MIN_V)},
        {"imul keeps low bits", {int_v(65536), int_v(65536)}, OP_imul, int_v(0)},
        {"isub wraps", {int_v(INT_MIN_V), int_v(1)}, OP_isub, int_v(2147483647)},
        {"ineg of MIN", {int_v(INT_MIN_V)}, OP_ineg, int_v(INT_MIN_V)},
        {"idiv truncates", {int_v(-7), int_v(2)}, OP_idiv, int_v(-3)},
        {"irem sign of dividend", {int_v(-7), int_v(2)}, OP_irem, int_v(-1)},
        {"irem positive", {int_v(7), int_v(-2)}, OP_irem, int_v(1)},
        {"idiv MIN by -1", {int_v(INT_MIN_V), int_v(-1)}, OP_idiv, int_v(INT_MIN_V)},
        {"irem MIN by -1", {int_v(INT_MIN_V), int_v(-1)}, OP_irem, int_v(0)},
        {"ladd wraps",
         {long_v(std::numeric_limits<s64>::max()), long_v(1)},
         OP_ladd,
         long_v(LONG_MIN_V)},
        {"lmul keeps low bits", {long_v(1LL << 40), long_v(1LL << 40)}, OP_lmul, long_v(0)},
        {"ldiv MIN by -1", {long_v(LONG_MIN_V), long_v(-1)}, OP_ldiv, long_v(LONG_MIN_V)},
        {"lrem MIN by -1", {long_v(LONG_MIN_V), long_v(-1)}, OP_lrem, long_v(0)},
        {"lrem sign", {long_v(-7), long_v(2)}, OP_lrem, long_v(-1)},
        {"lneg of MIN", {long_v(LONG_MIN_V)}, OP_lneg, long_v(LONG_MIN_V)},
        {"lsub", {long_v(5), long_v(7)}, OP_lsub, long_v(-2)},
        {"fdiv by zero", {float_v(1.0f), float_v(0.0f)}, OP_fdiv, float_v(F_INF)},
        {"fdiv negative by zero", {float_v(-1.0f), float_v(0.0f)}, OP_fdiv, float_v(-F_INF)},
        {"fdiv 0/0",
         {float_v(0.0f), float_v(0.0f)},
         OP_fdiv,
         float_v(std::bit_cast<float>(0xFFC00000u))},
        {"ddiv by zero", {double_v(1.0), double_v(0.0)}, OP_ddiv, double_v(D_INF)},
        {"ddiv negative by zero", {double_v(-1.0), double_v(0.0)}, OP_ddiv, double_v(-D_INF)},
        {"fneg of 0", {float_v(0.0f)}, OP_fneg, float_v(-0.0f)},
        {"dneg of -0", {double_v(-0.0)}, OP_dneg, double_v(0.0)},
        {"fadd rounds to nearest",
         {float_v(16777216.0f), float_v(1.0f)},
         OP_fadd,
         float_v(16777216.0f)},
        {"dmul", {double_v(1.5), double_v(-2.0)}, OP_dmul, double_v(-3.0)},
        {"fsub", {float_v(0.5f), float_v(0.25f)}, OP_fsub, float_v(0.25f)},
        {"iand", {int_v(0x0f0f0f0f), int_v(0x00ff00ff)}, OP_iand, int_v(0x000f000f)},
        {"ior", {int_v(0x0f000000), int_v(0x000000f0)}, OP_ior, int_v(0x0f0000f0)},
        {"ixor", {int_v(-1), int_v(0x0f)}, OP_ixor, int_v(-16)},
        {"lxor", {long_v(-1), long_v(0)}, OP_lxor, long_v(-1)},
        {"land", {long_v(0x1234567800000000LL), long_v(-1)}, OP_land, long_v(0x1234567800000000LL)},
        {"lor", {long_v(1LL << 62), long_v(1)}, OP_lor, long_v((1LL << 62) | 1)},
        {"ishl by 33", {int_v(1), int_v(33)}, OP_ishl, int_v(2)},
        {"ishl by 32", {int_v(5), int_v(32)}, OP_ishl, int_v(5)},
        {"ishl negative count", {int_v(1), int_v(-1)}, OP_ishl, int_v(INT_MIN_V)},
        {"ishr keeps sign", {int_v(-8), int_v(1)}, OP_ishr, int_v(-4)},
        {"iushr shifts zeros", {int_v(-8), int_v(1)}, OP_iushr, int_v(2147483644)},
        {"iushr by 0", {int_v(-1), int_v(0)}, OP_iushr, int_v(-1)},
        {"lshl by 65", {long_v(1), int_v(65)}, OP_lshl, long_v(2)},
        {"lshl by 64", {long_v(3), int_v(64)}, OP_lshl, long_v(3)},
        {"lushr by 63", {long_v(LONG_MIN_V), int_v(63)}, OP_lushr, long_v(1)},
        {"lshr by 63", {long_v(LONG_MIN_V), int_v(63)}, OP_lshr, long_v(-1)},
        {"lushr -1 by 60", {long_v(-1), int_v(60)}, OP_lushr, long_v(15)},
        {"iadd reads float bits", {float_v(1.0f), int_v(1)}, OP_iadd, int_v(0x3f800001)},
    };
    for (const op_case& c : cases) expect_result(c);
}

TEST(Arithmetic, IntegerDivisionByZeroEndsTheRun) {
    for (u8 op : {OP_idiv, OP_irem}) {
        run_result r = run_on({int_v(5), int_v(0)}, {op});
        EXPECT_EQ(last_line(r.output), "ERROR: division by zero at code offset 6") << int(op);
        EXPECT_EQ(r.status, 255);
    }
    for (u8 op : {OP_ldiv, OP_lrem}) {
        run_result r = run_on({long_v(5), long_v(0)}, {op});
        EXPECT_EQ(last_line(r.output), "ERROR: division by zero at code offset 6") << int(op);
    }
}

TEST(Conversions, JavaResultsWithTheDevicesSaturation) {
    const op_case cases[] = {
        {"i2l of -1", {int_v(-1)}, OP_i2l, long_v(-1)},
        {"l2i low word", {long_v(0x0000000123456789LL)}, OP_l2i, int_v(0x23456789)},
        {"l2i all ones", {long_v(0x00000000ffffffffLL)}, OP_l2i, int_v(-1)},
        {"i2f rounds", {int_v(16777217)}, OP_i2f, float_v(16777216.0f)},
        {"i2d exact", {int_v(INT_MIN_V)}, OP_i2d, double_v(-2147483648.0)},
        {"l2d rounds once", {long_v(9007199254740993LL)}, OP_l2d, double_v(9007199254740992.0)},
        {"l2f of MAX",
         {long_v(std::numeric_limits<s64>::max())},
         OP_l2f,
         float_v(9223372036854775808.0f)},
        {"f2i truncates", {float_v(3.9f)}, OP_f2i, int_v(3)},
        {"f2i truncates negative", {float_v(-3.9f)}, OP_f2i, int_v(-3)},
        {"f2i NaN", {float_v(F_NAN)}, OP_f2i, int_v(INT_MIN_V)},
        {"f2i too big", {float_v(1.0e10f)}, OP_f2i, int_v(INT_MIN_V)},
        {"f2i too small", {float_v(-1.0e10f)}, OP_f2i, int_v(INT_MIN_V)},
        {"f2i MIN exactly", {float_v(-2147483648.0f)}, OP_f2i, int_v(INT_MIN_V)},
        {"f2i 2^31", {float_v(2147483648.0f)}, OP_f2i, int_v(INT_MIN_V)},
        {"f2i infinity", {float_v(F_INF)}, OP_f2i, int_v(INT_MIN_V)},
        {"f2l NaN", {float_v(F_NAN)}, OP_f2l, long_v(LONG_MIN_V)},
        {"f2l truncates", {float_v(-2.5f)}, OP_f2l, long_v(-2)},
        {"f2d exact", {float_v(0.1f)}, OP_f2d, double_v(0.100000001490116119384765625)},
        {"d2i below 2^31", {double_v(2147483647.9)}, OP_d2i, int_v(2147483647)},
        {"d2i above", {double_v(2147483648.0)}, OP_d2i, int_v(INT_MIN_V)},
        {"d2l too big", {double_v(1.0e19)}, OP_d2l, long_v(LONG_MIN_V)},
        {"d2l -infinity", {double_v(-D_INF)}, OP_d2l, long_v(LONG_MIN_V)},
        {"d2l in range", {double_v(-1.0e18)}, OP_d2l, long_v(-1000000000000000000LL)},
        {"d2f overflow", {double_v(1.0e39)}, OP_d2f, float_v(F_INF)},
        {"d2f negative overflow", {double_v(-1.0e39)}, OP_d2f, float_v(-F_INF)},
        {"d2f underflow", {double_v(1.0e-50)}, OP_d2f, float_v(0.0f)},
        {"d2f just above float max rounds down",
         {double_v(static_cast<double>(std::numeric_limits<float>::max()) * (1 + 1e-9))},
         OP_d2f,
         float_v(std::numeric_limits<float>::max())},
        {"i2f of a float's bits", {float_v(1.0f)}, OP_i2f, float_v(1065353216.0f)},
    };
    for (const op_case& c : cases) expect_result(c);
}

TEST(Conversions, NarrowingOnlyRetags) {
    run_result r = run_on({int_v(300)}, {OP_i2b, OP_iconst_0, OP_iadd});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(stack_top().value.S32, 300); // the int instructions see the unnarrowed value
    const std::tuple<s32, u8, u8, const char*> cases[] = {
        {300, OP_i2b, TYPE_BYTE, " byte: 44 "},
        {-1, OP_i2b, TYPE_BYTE, " byte: 255 "},
        {70000, OP_i2s, TYPE_SHORT, " short: 4464 "},
        {65, OP_i2c, TYPE_CHAR, " char: A "},
    };
    for (const auto& [value_, op, tag, shown] : cases) {
        const s32 value = value_; // captured below
        run_result traced =
            run_package(single_class({OP_ldc, 1, op, OP_return},
                                     [&](image_builder& image) { image.integer(value); }),
                        true);
        EXPECT_EQ(traced.status, 0);
        if (traced.status != 0) continue;
        EXPECT_EQ(stack_top().type, tag);
        EXPECT_EQ(stack_top().value.S32, value); // all bytes stay as they were
        EXPECT_NE(traced.output.find(std::string("Stack: (1)") + shown), std::string::npos)
            << traced.output;
    }
}

TEST(StackManipulation, MovesWholeEntriesWhateverTheirTags) {
    struct stack_case {
        const char* what;
        std::vector<variable> before;
        u8 op;
        std::vector<s64> after; // bottom first, compared through S64 of longs and S32 else
    };
    const stack_case cases[] = {
        {"pop", {int_v(1), int_v(2)}, OP_pop, {1}},
        {"pop2 of two ints", {int_v(9), int_v(1), int_v(2)}, OP_pop2, {9}},
        {"pop2 of a long", {int_v(9), long_v(5)}, OP_pop2, {9}},
        {"pop2 of int over long", {int_v(9), long_v(5), int_v(2)}, OP_pop2, {9}},
        {"dup", {int_v(1)}, OP_dup, {1, 1}},
        {"dup_x1", {int_v(1), int_v(2)}, OP_dup_x1, {2, 1, 2}},
        {"dup_x2", {int_v(1), int_v(2), int_v(3)}, OP_dup_x2, {3, 1, 2, 3}},
        {"dup2", {int_v(1), int_v(2)}, OP_dup2, {1, 2, 1, 2}},
        {"dup2 with a long on top", {int_v(1), long_v(5)}, OP_dup2, {1, 5, 1, 5}},
        {"dup2_x1", {int_v(1), int_v(2), int_v(3)}, OP_dup2_x1, {2, 3, 1, 2, 3}},
        {"dup2_x2", {int_v(1), int_v(2), int_v(3), int_v(4)}, OP_dup2_x2, {3, 4, 1, 2, 3, 4}},
        {"swap int and long", {int_v(1), long_v(1LL << 40)}, OP_swap, {1LL << 40, 1}},
    };
    for (const stack_case& c : cases) {
        run_result r = run_on(c.before, {c.op});
        EXPECT_EQ(r.status, 0) << c.what << r.output;
        EXPECT_EQ(stack_counter, c.after.size()) << c.what;
        if (r.status != 0 || stack_counter != c.after.size()) continue;
        for (size_t i = 0; i < c.after.size(); ++i) {
            const variable& v = stack[i];
            EXPECT_EQ(v.type == TYPE_LONG ? v.value.S64 : v.value.S32, c.after[i]) << c.what << i;
        }
    }
    run_result lone_long = run_on({long_v(5)}, {OP_dup2});
    EXPECT_EQ(last_line(lone_long.output), "ERROR: stack underflow!");
    run_result empty = run_package(single_class({OP_dup, OP_return}));
    EXPECT_EQ(last_line(empty.output), "ERROR: stack underflow!");
    EXPECT_EQ(stack_counter, 0); // nothing was pushed
}

// One entry short, every family ends with error 13 and an empty stack, the entries it had
// taken with it.
TEST(StackManipulation, TooFewEntriesUnderflowInEveryFamily) {
    struct short_case {
        int entries; // ints pushed first
        bytes ops;
    };
    const short_case cases[] = {
        {1, {OP_iadd}},       {0, {OP_ineg}},         {1, {OP_ishl}},
        {1, {OP_idiv}},       {1, {OP_lrem}},         {0, {OP_i2l}},
        {0, {OP_i2b}},        {1, {OP_lcmp}},         {1, {OP_if_icmpeq, 0, 3}},
        {0, {OP_ifeq, 0, 3}}, {0, {OP_istore_0}},     {0, {OP_lstore_3}},
        {0, {OP_pop}},        {1, {OP_pop, OP_pop2}}, {1, {OP_swap}},
        {2, {OP_dup2_x2}},    {0, {OP_ireturn}},
    };
    for (const short_case& c : cases) {
        bytes code(static_cast<size_t>(c.entries), OP_iconst_2);
        code.insert(code.end(), c.ops.begin(), c.ops.end());
        code.push_back(OP_return);
        run_result r = run_package(single_class(code));
        const std::string what = opcodes[c.ops[0]];
        if (c.ops[0] == OP_ireturn) { // main's return does not look at the stack
            EXPECT_EQ(r.status, 0) << what;
            continue;
        }
        EXPECT_EQ(last_line(r.output), "ERROR: stack underflow!") << what;
        EXPECT_EQ(r.status, 255) << what;
        EXPECT_EQ(stack_counter, 0) << what;
        EXPECT_EQ(local_var[0].type, variable{}.type) << what; // a failed store wrote nothing
    }
}

TEST(Comparisons, ThreeWayAndNanIsEqual) {
    const op_case cases[] = {
        {"lcmp whole width", {long_v(1LL << 32), long_v((1LL << 32) - 1)}, OP_lcmp, int_v(1)},
        {"lcmp signed", {long_v(-1), long_v(1)}, OP_lcmp, int_v(-1)},
        {"lcmp equal", {long_v(7), long_v(7)}, OP_lcmp, int_v(0)},
        {"fcmpl NaN", {float_v(F_NAN), float_v(1.0f)}, OP_fcmpl, int_v(0)},
        {"fcmpg NaN", {float_v(1.0f), float_v(F_NAN)}, OP_fcmpg, int_v(0)},
        {"dcmpl NaN", {double_v(D_NAN), double_v(D_NAN)}, OP_dcmpl, int_v(0)},
        {"dcmpg NaN", {double_v(D_NAN), double_v(0.0)}, OP_dcmpg, int_v(0)},
        {"dcmpg less", {double_v(1.0), double_v(2.0)}, OP_dcmpg, int_v(-1)},
        {"dcmpg greater", {double_v(2.0), double_v(1.0)}, OP_dcmpg, int_v(1)},
        {"fcmpl -0 and 0", {float_v(-0.0f), float_v(0.0f)}, OP_fcmpl, int_v(0)},
        {"fcmpg greater", {float_v(2.0f), float_v(-F_INF)}, OP_fcmpg, int_v(1)},
    };
    for (const op_case& c : cases) expect_result(c);
}

// Every conditional jump over "iconst_1; return" to "iconst_2; return".
TEST(Branches, ConditionsOnSignedInts) {
    struct branch_case {
        std::vector<variable> operands;
        u8 op;
        bool taken;
    };
    const branch_case cases[] = {
        {{int_v(0)}, OP_ifeq, true},
        {{long_v(1LL << 32)}, OP_ifeq, true},
        {{float_v(0.0f)}, OP_ifeq, true},
        {{int_v(1)}, OP_ifeq, false},
        {{int_v(1)}, OP_ifne, true},
        {{int_v(-1)}, OP_iflt, true},
        {{int_v(0)}, OP_iflt, false},
        {{int_v(0)}, OP_ifge, true},
        {{int_v(0)}, OP_ifgt, false},
        {{int_v(0)}, OP_ifle, true},
        {{int_v(-5), int_v(3)}, OP_if_icmplt, true},
        {{int_v(3), int_v(3)}, OP_if_icmpeq, true},
        {{int_v(3), int_v(4)}, OP_if_icmpne, true},
        {{int_v(3), int_v(3)}, OP_if_icmpge, true},
        {{int_v(3), int_v(3)}, OP_if_icmpgt, false},
        {{int_v(INT_MIN_V), int_v(2147483647)}, OP_if_icmple, true},
    };
    for (const branch_case& c : cases) {
        run_result r = run_on(c.operands, {c.op, 0x00, 0x05, OP_iconst_1, OP_return, OP_iconst_2});
        EXPECT_EQ(r.status, 0) << int(c.op) << r.output;
        EXPECT_EQ(stack_counter, 1) << int(c.op); // the tested values are consumed
        if (r.status != 0 || stack_counter != 1) continue;
        EXPECT_EQ(stack_top().value.S32, c.taken ? 2 : 1) << int(c.op);
    }
}

TEST(Branches, OffsetsCountFromTheOpcode) {
    // goto +3 is the next instruction; a backward goto makes a loop (count 3 down to 0).
    run_result r =
        run_package(single_class({OP_goto, 0, 3, OP_iconst_3, OP_istore_0, OP_iinc, 0, 0xFF,
                                  OP_iload_0, OP_ifne, 0xFF, 0xFC, OP_iload_0, OP_return}));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(stack_top().value.S32, 0);
    // goto_w with offset 5 lands on the next instruction.
    r = run_package(single_class({OP_goto_w, 0, 0, 0, 5, OP_iconst_4, OP_return}));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(stack_top().value.S32, 4);
    // goto 0 executes itself again: still running after many steps.
    reset_vm();
    hand_over(single_class({OP_goto, 0, 0, OP_return}), false);
    capture([] {
        vm_init();
        vm_start();
        for (int i = 0; i < 1000; ++i) mirt_step();
    });
    EXPECT_TRUE(mirt_is_running);
    EXPECT_EQ(pc, code_begin);
}

TEST(Branches, CodeMustNotBeLeft) {
    const std::pair<bytes, const char*> cases[] = {
        {{OP_goto, 0, 5, OP_return},
         "ERROR: jump from code offset 0 to 5 leaves the method's code"},
        {{OP_nop, OP_goto, 0xFF, 0xFE, OP_return},
         "ERROR: jump from code offset 1 to -1 leaves the method's code"},
        {{OP_goto_w, 0x7F, 0xFF, 0xFF, 0xFF, OP_return},
         "ERROR: jump from code offset 0 to 2147483647 leaves the method's code"},
        {{OP_iconst_0, OP_ifeq, 0, 4},
         "ERROR: jump from code offset 1 to 5 leaves the method's code"},
        {{OP_bipush}, "ERROR: execution ran past the end of the method's code (1 bytes)"},
        {{OP_sipush, 1}, "ERROR: execution ran past the end of the method's code (2 bytes)"},
        {{OP_iconst_1}, "ERROR: execution ran past the end of the method's code (1 bytes)"},
        {{OP_goto, 0}, "ERROR: execution ran past the end of the method's code (2 bytes)"},
        {{}, "ERROR: execution ran past the end of the method's code (0 bytes)"},
    };
    for (const auto& [code, message] : cases) {
        run_result r = run_package(single_class(code));
        EXPECT_EQ(last_line(r.output), message);
        EXPECT_EQ(r.status, 255);
    }
}

TEST(Locals, RegistersAndPoolSliceAreSeparate) {
    // istore_2 writes register 2, istore 2 writes pool entry 2 of the method's slice.
    run_result r = run_package(single_class(
        {OP_bipush, 7, OP_istore_2, OP_bipush, 9, OP_istore, 2, OP_iload_2, OP_iload, 2, OP_return},
        {}, 3, 10));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(stack_top(1).value.S32, 7);
    EXPECT_EQ(stack_top(0).value.S32, 9);
    EXPECT_EQ(local_var_pool[12].value.S32, 9);
    EXPECT_EQ(local_var[2].value.S32, 7);
}

TEST(Locals, MoveFourOrEightBytesAndRetag) {
    // lstore_0 then iload_0 pushes the low word tagged int; lload_0 the whole long.
    run_result r = run_on({long_v(0x0000000500000007LL)}, {OP_lstore_0, OP_iload_0, OP_lload_0});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(stack_top(1).type, TYPE_INT);
    EXPECT_EQ(stack_top(1).value.S32, 7);
    EXPECT_EQ(stack_top(0).value.S64, 0x0000000500000007LL);
    // istore_3 over a long keeps the long's upper half.
    r = run_on({long_v(0x0000000500000007LL), int_v(-1)},
               {OP_istore_3, OP_lstore_3, OP_iconst_2, OP_istore_3, OP_lload_3});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(stack_top().value.S64, 0x0000000500000002LL);
    // fstore_1 then iload_1 pushes the float's bits tagged int; lstore_1 leaves register 2.
    r = run_on({float_v(1.0f), long_v(3)}, {OP_lstore_1, OP_fstore_2, OP_iload_2, OP_lload_1});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(stack_top(1).type, TYPE_INT);
    EXPECT_EQ(stack_top(1).value.S32, 0x3f800000);
    EXPECT_EQ(local_var[2].type, TYPE_FLOAT);
    EXPECT_EQ(stack_top(0).value.S64, 3);
    // dstore and dload through the pool.
    r = run_package(single_class({OP_dconst_1, OP_dstore, 1, OP_dload, 1, OP_return}, {}, 2));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(stack_top().type, TYPE_DOUBLE);
    EXPECT_EQ(stack_top().value.D, 1.0);
}

TEST(Locals, IndexedFormsCheckTheWindow) {
    struct window_case {
        bytes code;
        u16 max_locals;
        const char* message;
    };
    const window_case cases[] = {
        {{OP_iload, 0}, 0, "ERROR: local var out of range: 0"},
        {{OP_iload, 3}, 3, "ERROR: local var out of range: 3"},
        {{OP_wide, OP_iload, 1, 0}, 5, "ERROR: local var out of range: 256"},
        {{OP_istore, 4}, 4, "ERROR: local var out of range: 4"}, // before the pop
        {{OP_istore, 1}, 4, "ERROR: stack underflow!"},
        {{OP_lload, 9}, 9, "ERROR: local var out of range: 9"},
    };
    for (const window_case& c : cases) {
        bytes code = c.code;
        code.push_back(OP_return);
        run_result r = run_package(single_class(code, {}, c.max_locals));
        EXPECT_EQ(last_line(r.output), c.message);
        EXPECT_EQ(r.status, 255);
    }
}

TEST(Locals, WideStaysPendingUntilAnIndexedInstruction) {
    // wide, nop, then iload with two index bytes 0x00 0x03.
    run_result r = run_package(single_class(
        {OP_bipush, 5, OP_istore, 3, OP_wide, OP_nop, OP_iload, 0x00, 0x03, OP_return}, {}, 4));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(stack_top().value.S32, 5);
    EXPECT_FALSE(wide_opcode);
}

TEST(Iinc, AddsToIntRegisters) {
    struct iinc_case {
        bytes code;
        s32 expected_or_error; // register 0 after, when status 0
        const char* message;   // null when the run succeeds
    };
    const iinc_case cases[] = {
        {{OP_iconst_5, OP_istore_0, OP_iinc, 0, 0xFF}, 4, nullptr},
        {{OP_iconst_5, OP_istore_0, OP_wide, OP_iinc, 0, 0, 0x01, 0x00}, 261, nullptr},
        {{OP_iconst_5, OP_istore_0, OP_wide, OP_iinc, 0, 0, 0x80, 0x00}, 5 - 32768, nullptr},
        {{OP_iinc, 0, 1}, 0, "ERROR: local var is not an TYPE_INT: 0"},
        {{OP_lconst_1, OP_lstore_1, OP_iinc, 1, 1}, 0, "ERROR: local var is not an TYPE_INT: 11"},
        {{OP_iinc, 25, 1}, 0, "ERROR: not an var idx: 25"},
        {{OP_iinc, 4, 1}, 0, "ERROR: not an var idx: 4"},
        {{OP_iinc, 20, 1}, 0, "ERROR: not an var idx: 20"},
    };
    for (const iinc_case& c : cases) {
        bytes code = c.code;
        code.push_back(OP_return);
        run_result r = run_package(single_class(code, {}, 4));
        if (c.message) {
            EXPECT_EQ(last_line(r.output), c.message);
            EXPECT_EQ(r.status, 255);
        } else {
            EXPECT_EQ(r.status, 0) << r.output;
            EXPECT_EQ(local_var[0].value.S32, c.expected_or_error);
            EXPECT_EQ(local_var[0].type, TYPE_INT);
        }
    }
    // wrap-around
    run_result r = run_on({int_v(2147483647)}, {OP_istore_1, OP_iinc, 1, 1});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(local_var[1].value.S32, INT_MIN_V);
}

// Every opcode the VM executes, run in the checked body on four prepared entries: the depth
// after it is the one the table's effect gives (calls: their descriptor's), and an entry it
// puts back is as wide as the effect says. The proof pass trusts these columns.
TEST(StackEffects, EveryExecutedOpcodeMovesTheDepthItsRowSays) {
    constexpr int prepared = 4;
    for (int value = 0; value < 256; ++value) {
        const u8 op = static_cast<u8>(value);
        if (!opcode_executed(op)) continue;
        const std::string name = opcodes[op];
        // pop2 as the tag on top says: one long, or two other entries
        for (const u8 entry : {OP_lconst_1, OP_iconst_1}) {
            stack_effect effect = opcode_row(op).effect;
            if (effect.kind == effect_kind::pop2)
                effect = {effect_kind::plain, static_cast<u8>(entry == OP_lconst_1 ? 1 : 2), 0};
            else if (entry == OP_iconst_1)
                continue;
            if (effect.kind == effect_kind::call) effect = {effect_kind::plain, 2, 1}; // (JI)I
            image_builder image;
            const u16 self = image.class_constant("T");
            image.set_this_class(self);
            const u16 sub = image.methodref(self, "sub", "(JI)I");
            const u16 integer = image.integer(5);
            const u16 wide_long = image.long_constant(-3);
            auto index = [](u16 i) { return bytes{static_cast<u8>(i >> 8), static_cast<u8>(i)}; };
            bytes code = bytes{OP_iconst_0, OP_istore_0} + bytes(prepared, entry); // iinc's int
            code.push_back(op);
            const int operands = opcode_row(op).operands;
            if (opcode_flow(op) == control_flow::branch || opcode_flow(op) == control_flow::jump)
                for (int k = 0; k < operands; ++k) // to the next instruction
                    code.push_back(static_cast<u8>(k == operands - 1 ? operands + 1 : 0));
            else if (op == OP_invokestatic)
                code = code + index(sub);
            else if (op == OP_iinc)
                code = code + bytes{0, 1};
            else if (op == OP_wide) // and the instruction it widens
                code = code + bytes{OP_iinc, 0, 0, 0, 1};
            else if (op == OP_ldc2_w)
                code = code + index(wide_long);
            else if (op == OP_ldc_w || op == OP_sipush)
                code = code + index(integer);
            else if (operands == 1)
                code.push_back(op == OP_ldc ? static_cast<u8>(integer) : 0);
            if (opcode_flow(op) != control_flow::return_) code.push_back(OP_return);
            image.method(java_method("main", "()V", code, JAVA_MAIN_METHOD, 4));
            image.method(java_method("sub", "(JI)I", {OP_iload_1, OP_ireturn}));
            reset_vm();
            hand_over(make_package({{"T", image.build()}}), false);
            verified_fast_path = false;
            const run_result r = capture([] {
                vm_init();
                vm_run();
            });
            EXPECT_EQ(r.status, 0) << name << '\n' << r.output;
            const int expected = prepared - entries_taken(effect) + entries_given(effect);
            EXPECT_EQ(stack_counter, expected) << name << " on " << int(entry);
            if (effect.kind == effect_kind::plain && effect.gives != 0 && stack_counter > 0) {
                const bool two_words =
                    stack_top().type == TYPE_LONG || stack_top().type == TYPE_DOUBLE;
                EXPECT_EQ(two_words, effect.gives == 2) << name << ": the entry it gives";
            }
        }
    }
}

} // namespace
