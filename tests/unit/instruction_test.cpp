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
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_EQ(stack_counter, 1);
        EXPECT_EQ(stack_top().type, c.tag) << int(c.code[0]);
        const var_data& v = stack_top().value;
        u64 seen = c.tag == TYPE_LONG || c.tag == TYPE_DOUBLE ? v.U64 : c.tag == TYPE_VOID ? v.U8 : v.U32;
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
    run_result r = run_code({OP_ldc, 1, OP_ldc_w, 0, 1, OP_ldc, 2, OP_ldc2_w, 0, 3, OP_ldc2_w, 0, 5,
                             OP_return},
                            setup);
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
    bytes code(19, OP_iconst_1);
    code.push_back(OP_return);
    EXPECT_EQ(run_code(code).status, 0);
    code.insert(code.begin(), OP_iconst_1);
    run_result r = run_code(code);
    EXPECT_EQ(last_line(r.output), "ERROR: stack overflow!");
}

TEST(Trace, FollowsEveryInstructionButTheFinalReturn) {
    run_result r = run_package(single_class({OP_iconst_5, OP_nop, OP_return}), true);
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(r.output.ends_with(
        "==> descriptor ()V\n"
        "\t\topcode: 0x08 (8) iconst_5 \tvars: NULL \t NULL \t NULL \t NULL \t\n"
        "\t\tStack: (1) int: 5 \t\n"
        "\t\topcode: 0x00 (0) nop \tvars: NULL \t NULL \t NULL \t NULL \t\n"
        "\t\tStack: (1) int: 5 \t\n"))
        << r.output;
}

// Every byte value either executes or takes the one unknown-opcode path.
TEST(Dispatch, EveryByteValueReachesHandlerOrUnknownPath) {
    const std::vector<int> unknown = [] {
        std::vector<int> ops = {0x19, 0x2a, 0x2b, 0x2c, 0x2d, 0x3a, 0x4b, 0x4c, 0x4d, 0x4e,
                                0x72, 0x73, 0xa5, 0xa6, 0xa8, 0xa9, 0xaa, 0xab, 0xb0, 0xc5,
                                0xc6, 0xc7, 0xc9, 0xca};
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
                      0, 3, 0, 0, OP_return};
        run_result r = run_code(code, {}, 4);
        bool is_unknown = std::find(unknown.begin(), unknown.end(), op) != unknown.end();
        std::string unknown_prefix = "ERROR: unknown opcode: " + std::to_string(op) + " (";
        EXPECT_EQ(last_line(r.output).starts_with(unknown_prefix), is_unknown)
            << "opcode " << op << ": " << last_line(r.output);
    }
}

} // namespace
