// Limits of the operand stack and the frame stack.
#include "vm_harness.h"

using namespace testing_support;

namespace {

TEST(OperandStack, HoldsNineteenEntries) {
    reset_vm();
    run_result r = capture([] {
        for (int i = 0; i < STACK_LIMIT; ++i) push_stack(int_v(i));
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(stack_counter, STACK_LIMIT);
    r = capture([] { push_stack(int_v(STACK_LIMIT)); });
    EXPECT_EQ(r.output, "ERROR: stack overflow!\n");
    EXPECT_EQ(r.status, 255);
}

TEST(OperandStack, PopOfEmptyStackUnderflows) {
    reset_vm();
    run_result r = capture([] { pop_stack(); });
    EXPECT_EQ(r.output, "ERROR: stack underflow!\n");
    EXPECT_EQ(r.status, 255);
}

TEST(OperandStack, ClearLeavesVoidEntries) {
    reset_vm();
    push_stack(int_v(5));
    clear_stack();
    EXPECT_EQ(stack_counter, 0);
    for (int i = 0; i < STACK_ENTRIES; ++i) {
        const variable& entry = stack[i];
        EXPECT_EQ(entry.type, TYPE_VOID);
        EXPECT_EQ(entry.value.U64, 0u);
    }
}

TEST(OperandStack, PopReturnsAllEightBytes) {
    reset_vm();
    variable v{};
    v.type = TYPE_LONG;
    v.value.U64 = 0x0123456789ABCDEFull;
    push_stack(v);
    variable back = pop_stack();
    EXPECT_EQ(back.type, TYPE_LONG);
    EXPECT_EQ(back.value.U64, 0x0123456789ABCDEFull);
}

TEST(FrameStack, EmptyPopGivesEndOfRunRecord) {
    reset_vm();
    frame_info f = pop_frame();
    EXPECT_EQ(f.pc, nullptr);
    EXPECT_EQ(f.method, 0xFFFF);
    EXPECT_EQ(frame_counter, 0);
}

TEST(FrameStack, HoldsNineteenFrames) {
    reset_vm();
    frame_info f{};
    const u8 code = 0;
    f.pc = &code;
    run_result r = capture([&] {
        for (int i = 0; i < FRAME_LIMIT; ++i) {
            f.method = static_cast<u16>(i);
            push_frame(f);
        }
    });
    EXPECT_EQ(r.status, 0);
    r = capture([&] { push_frame(f); });
    EXPECT_EQ(r.output, "ERROR: frame overlow!\n");
    EXPECT_EQ(r.status, 255);
    frame_counter = FRAME_LIMIT;
    EXPECT_EQ(pop_frame().method, FRAME_LIMIT - 1);
}

} // namespace
