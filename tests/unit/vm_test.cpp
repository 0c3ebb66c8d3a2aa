// Start of a run, activation and parameters, resolution across classes, native dispatch,
// calls and returns.
#include <sstream>

#include "mirt_proof.h"
#include "vm_harness.h"

using namespace testing_support;

namespace {

const char* const START = "initializing vm\nmagic: ecaffe02\ninitializing vm\nmagic: ecaffe02\n";

TEST(Start, RunsTheFirstMethodWithTheMainIdentifier) {
    image_builder image;
    image.set_this_class(image.class_constant("T"));
    image.method(java_method("helper", "()V", {OP_iconst_1, OP_return}));
    image.method(main_method({OP_iconst_2, OP_return}, "mainLoop"));
    image.method(main_method({OP_iconst_3, OP_return}));
    run_result r = run_package(make_package({{"T", image.build()}}));
    EXPECT_EQ(r.output, std::string(START) +
                            "\tmain gefunden: (1) mainLoop\n\tset frame to mainLoop, (1)\n"
                            "==> descriptor idx: 4 \n==> descriptor ()V\n");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(stack_counter, 1); // values left by main stay on the stack
    EXPECT_EQ(stack_top().value.S32, 2);
    EXPECT_FALSE(mirt_is_running);
    EXPECT_EQ(function_counter, 0);
}

TEST(Start, WithoutMainIsError7) {
    image_builder image;
    image.set_this_class(image.class_constant("T"));
    image.method(java_method("helper", "()V", {OP_return}));
    run_result r = run_package(make_package({{"T", image.build()}}));
    EXPECT_EQ(last_line(r.output), "ERROR: file doesn't contain a main method!");
    EXPECT_EQ(r.status, 255);
}

TEST(Start, BareClassImageRunsWithoutPackage) {
    image_builder image;
    image.set_this_class(image.class_constant("T"));
    image.method(main_method({OP_iconst_4, OP_return}));
    run_result r = run_package(image.build());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(package, nullptr);
    EXPECT_NE(r.output.find("magic: ecaffe01\n"), std::string::npos);
    EXPECT_EQ(stack_top().value.S32, 4);
}

TEST(Start, BadMagicIsGeneralError) {
    run_result r = run_package({0x01, 0x02, 0x03, 0x04, 0x05});
    EXPECT_EQ(r.output, "initializing vm\nmagic: 4030201\nERROR: general error\n");
    EXPECT_EQ(r.status, 255);
}

TEST(Start, FirstEntryThatIsNoClassImageIsRefusedByVmRun) {
    bytes input = make_package({{"T", {0x00, 0x11, 0x22, 0x33, 0xFF, 0xFF, 0xFF, 0xFF}}});
    reset_vm();
    hand_over(input, false);
    char answer = 0;
    run_result r = capture([&] {
        vm_init();
        answer = vm_run();
    });
    EXPECT_EQ(answer, '-');
    EXPECT_EQ(r.output, std::string(START));
}

// A reset VM is a new process's: every value byte of locals, stack and frames is zero, so a
// load of a long from a local that held an int reads the same in both.
TEST(Lifecycle, ResetZeroesEveryValueByte) {
    const auto dirty = [](variable& v) { v.type = TYPE_LONG, v.value.U64 = ~0ull; };
    for (variable& v : local_var) dirty(v);
    for (variable& v : local_var_pool) dirty(v);
    for (int i = 0; i < STACK_ENTRIES; ++i) dirty(stack[i]);
    for (frame_info& f : frame)
        for (variable& v : f.local_var) dirty(v);
    reset_vm();
    for (const variable& v : local_var) EXPECT_EQ(v.value.U64, 0u);
    for (const variable& v : local_var_pool) EXPECT_EQ(v.value.U64, 0u);
    for (int i = 0; i < STACK_ENTRIES; ++i) EXPECT_EQ(stack[i].value.U64, 0u);
    for (const frame_info& f : frame)
        for (const variable& v : f.local_var) EXPECT_EQ(v.value.U64, 0u);
}

// A reset VM also forgets what a host set: each row spoils one setting, resets, and looks.
TEST(Lifecycle, ResetForgetsTheHostsSettings) {
    const struct {
        const char* name;
        void (*spoil)();
        void (*holds)();
    } rows[] = {
        {"batch trace output", [] { batch_trace_output = false; },
         [] { EXPECT_TRUE(batch_trace_output); }},
        {"quiet", [] { quiet = true; }, [] { EXPECT_FALSE(quiet); }},
        {"unchecked body", [] { verified_fast_path = false; },
         [] { EXPECT_TRUE(verified_fast_path); }},
        {"instruction limit", [] { instruction_limit = 5; },
         [] { EXPECT_EQ(instruction_limit, NO_INSTRUCTION_LIMIT); }},
        // Without a handler a run at its limit ends the process with status 2; a handler left
        // from before would throw instead.
        {"stop handler", [] { set_stop_handler([](stop_reason) { throw fatal_exit{7}; }); },
         [] {
             EXPECT_EXIT(
                 {
                     hand_over(single_class({OP_goto, 0x00, 0x00}), false);
                     instruction_limit = 3;
                     capture([] {
                         vm_init();
                         vm_run();
                     });
                     std::exit(0);
                 },
                 ::testing::ExitedWithCode(2), "");
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.spoil();
        reset_vm();
        row.holds();
    }
}

TEST(Lifecycle, StopAndDeferredRequests) {
    bytes input = single_class({OP_iconst_1, OP_iconst_2, OP_pop, OP_pop, OP_return});
    reset_vm();
    hand_over(input, false);
    run_result r = capture([] {
        EXPECT_EQ(vm_start(), '+');
        mirt_step(); // iconst_1
        EXPECT_EQ(vm_stop(), '+');
        EXPECT_EQ(vm_stop(), '-');
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(stack_counter, 1);

    // vm_init during a run is carried out after the step in progress.
    r = capture([] {
        vm_start();
        vm_init();
        EXPECT_TRUE(mirt_init_pending);
        mirt_step();
    });
    EXPECT_FALSE(mirt_is_running);
    EXPECT_FALSE(mirt_init_pending);
    EXPECT_EQ(stack_counter, 0); // cleared by the deferred initialisation
}

struct parameter_case {
    const char* descriptor;
    int pushed;                // ints 5, 7, 9, ... pushed in order
    int error_id;              // 0 when activation succeeds
    int expected_registers[4]; // S32 of register locals, -1 where untouched
};

class Parameters : public ::testing::TestWithParam<parameter_case> {};

TEST_P(Parameters, ArePlacedInRegisterLocalsInDeclarationOrder) {
    const parameter_case& c = GetParam();
    image_builder image;
    u16 self = image.class_constant("T");
    image.set_this_class(self);
    u16 ref = image.methodref(self, "callee", c.descriptor);
    bytes code;
    for (int i = 0; i < c.pushed; ++i) code = code + bytes{OP_bipush, static_cast<u8>(5 + 2 * i)};
    image.method(main_method(code + invoke(ref) + bytes{OP_return}));
    image.method(java_method("callee", c.descriptor, {OP_return}));
    reset_vm();
    hand_over(make_package({{"T", image.build()}}), false);
    run_result r = capture([] {
        vm_init();
        vm_start();
        while (mirt_is_running && function_counter < 2) mirt_step();
    });
    if (c.error_id) {
        std::string expected = c.error_id == 6
                                   ? "ERROR: there are only 4 int params / 2 long params allowed"
                                   : "ERROR: Function parameter has unknown type!";
        EXPECT_EQ(last_line(r.output), expected);
        EXPECT_EQ(r.status, 255);
        return;
    }
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(function_counter, 2);
    EXPECT_EQ(stack_counter, 0);
    for (int i = 0; i < 4; ++i) {
        if (c.expected_registers[i] >= 0) {
            EXPECT_EQ(local_var[i].value.S32, c.expected_registers[i]) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Descriptors, Parameters,
                         ::testing::Values(parameter_case{"(II)V", 2, 0, {5, 7, -1, -1}},
                                           parameter_case{"(IIII)V", 4, 0, {5, 7, 9, 11}},
                                           parameter_case{"(IIIII)V", 5, 6, {}},
                                           parameter_case{"(J)V", 1, 0, {5, -1, -1, -1}},
                                           parameter_case{"(IJ)V", 2, 0, {5, 7, -1, -1}},
                                           parameter_case{"(JJ)V", 2, 0, {5, -1, 7, -1}},
                                           parameter_case{"(JIJ)V", 3, 6, {}},
                                           parameter_case{"(JII)I", 3, 0, {5, -1, 7, 9}},
                                           parameter_case{"(Z)V", 1, 2, {}},
                                           parameter_case{"(F)V", 1, 2, {}},
                                           parameter_case{"(D)V", 1, 2, {}},
                                           parameter_case{"([I)V", 1, 2, {}},
                                           parameter_case{"(Ljava/lang/String;)V", 1, 2, {}}),
                         [](const ::testing::TestParamInfo<parameter_case>& info) {
                             return test_name(info.param.descriptor);
                         });

TEST(Activation, MainWithParametersStopsWithError2WithoutNewline) {
    image_builder image;
    image.set_this_class(image.class_constant("T"));
    method_spec m = main_method({OP_return});
    m.descriptor = "([Ljava/lang/String;)V";
    image.method(m);
    run_result r = run_package(make_package({{"T", image.build()}}));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.output.ends_with("==> descriptor ([Ljava/lang/String;)V\n"
                                   "ERROR: Function parameter has unknown type!"));
}

TEST(Activation, TooFewArgumentsUnderflow) {
    image_builder image;
    image.set_this_class(image.class_constant("T"));
    method_spec m = main_method({OP_return});
    m.descriptor = "(I)V";
    image.method(m);
    run_result r = run_package(make_package({{"T", image.build()}}));
    EXPECT_EQ(last_line(r.output), "ERROR: stack underflow!");
}

TEST(Activation, LocalWindowMayEndAtTwentyButNotBeyond) {
    run_result ok = run_package(single_class({OP_return}, {}, 5, 15));
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(locals, &local_var_pool[15]);
    EXPECT_EQ(max_locals, 5);
    run_result over = run_package(single_class({OP_return}, {}, 6, 15));
    EXPECT_EQ(last_line(over.output), "ERROR: overflow of local variables: 21 ");
    EXPECT_EQ(over.status, 255);
    run_result none = run_package(single_class({OP_return}, {}, 0, 200));
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(locals, nullptr);
}

// main calls helper (third in the method table) which returns 9 - 4.
TEST(Calls, SameClassCallTracesAndReturnValue) {
    image_builder image;
    u16 self = image.class_constant("T");
    image.set_this_class(self);
    u16 ref = image.methodref(self, "sub", "(II)I");
    image.method(main_method(bytes{OP_iconst_3, OP_istore_0, OP_bipush, 9, OP_iconst_4} +
                             invoke(ref) + bytes{OP_return}));
    image.method(java_method("other", "()V", {OP_return}));
    image.method(java_method("sub", "(II)I", {OP_iload_0, OP_iload_1, OP_isub, OP_ireturn}));
    run_result r = run_package(make_package({{"T", image.build()}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, std::string(START) + "\tmain gefunden: (0) main\n\tset frame to main, (0)\n"
                                             "==> descriptor idx: 8 \n==> descriptor ()V\n"
                                             "\tget function for reference id 6:\n"
                                             "\tget method by id: main, (0)\n"
                                             "\tget method by id: other, (1)\n"
                                             "\tget method by id: sub, (2)\n"
                                             "\tget function from id sub, (2)\n"
                                             "\tset frame to sub, (2)\n"
                                             "==> descriptor idx: 3 \n==> descriptor (II)I\n"
                                             "\trestore to function: main, (7)\n");
    ASSERT_EQ(stack_counter, 1);
    EXPECT_EQ(stack_top().value.S32, 5);
    EXPECT_EQ(local_var[0].value.S32, 3); // the caller's registers come back
}

// Two call sites that share a slot of the kept call sites (constants 64 apart), called
// A, B, A: each prints its own lines every time.
TEST(Calls, CallSitesSharingASlotEachTraceTheirOwnLines) {
    image_builder image;
    u16 self = image.class_constant("T");
    image.set_this_class(self);
    const u16 nat = image.name_and_type("sub", "()V");
    auto methodref = [&] {
        bytes record{CONSTANT_Methodref};
        put_u16(record, self), put_u16(record, nat);
        return image.raw_constant(record);
    };
    const u16 a = methodref();
    while (image.integer(0) < a + 63) {
    }
    const u16 b = methodref();
    ASSERT_EQ(b, a + 64);
    image.method(main_method(invoke(a) + invoke(b) + invoke(a) + bytes{OP_return}));
    image.method(java_method("sub", "()V", {OP_return}));
    run_result r = run_package(make_package({{"T", image.build()}}));
    ASSERT_EQ(r.status, 0) << r.output;
    auto count = [&](u16 ref) {
        const std::string call = "\tget function for reference id " + std::to_string(ref) +
                                 ":\n\tget method by id: main, (0)\n\tget method by id: sub, "
                                 "(1)\n\tget function from id sub, (1)\n\tset frame to sub, "
                                 "(1)\n";
        size_t n = 0;
        for (size_t at = r.output.find(call); at != std::string::npos;
             at = r.output.find(call, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(a), 2u) << r.output;
    EXPECT_EQ(count(b), 1u) << r.output;
}

// Builds A (start) -> B.hop() -> C.land() -> native SetLED in C, and back.
// B's constant #2 is a Class constant naming C, the same number as A's this_class.
bytes three_class_package(bool with_led_value) {
    image_builder a = class_calling("A", "B", "hop").image; // this_class #2

    image_builder b;
    u16 b_to_c_class = b.class_constant("C"); // #2, colliding with A's this_class
    b.set_this_class(b.class_constant("B"));
    u16 b_to_c = b.methodref(b_to_c_class, "land", "()V");
    b.method(java_method("hop", "()V", invoke(b_to_c) + bytes{OP_return}));
    b.method(java_method("land", "()V", {OP_bipush, 99, OP_return})); // must not be taken

    image_builder c;
    u16 c_self = c.class_constant("C");
    c.set_this_class(c_self);
    u16 c_led = c.methodref(c_self, "SetLED", "(I)V");
    c.method(java_method("land", "()V",
                         bytes{with_led_value ? OP_iconst_1 : OP_nop} + invoke(c_led) +
                             bytes{OP_return}));
    c.method(native_method("SetLED", "(I)V", NATIVE_SET_LED));
    return make_package({{"A", a.build()}, {"B", b.build()}, {"C", c.build()}});
}

TEST(Resolution, ClassIndexOfAnotherImageIsNotTakenForTheStartClass) {
    run_result r = run_package(three_class_package(true));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("DRIVE: native_set_led: 1\n"), std::string::npos);
    EXPECT_EQ(stack_counter, 0); // B.land's 99 was never pushed
    const std::string expected_tail = "\tget method by id: land, (4)\n"
                                      "\tget function from id land, (4)\n"
                                      "\tget function from id C, (0)\n"
                                      "teste: _A_\nteste: _B_\nteste: _C_\n";
    EXPECT_NE(r.output.find(expected_tail), std::string::npos) << r.output;
}

TEST(Resolution, CrossClassTraceAndCurrentImage) {
    image_builder b = class_with("B", {java_method("one", "()V", {OP_return}),
                                       java_method("two", "()V", {OP_iconst_5, OP_return})});
    bytes input =
        make_package({{"A", class_calling("A", "B", "two").image.build()}, {"B", b.build()}});
    reset_vm();
    hand_over(input, false);
    class_image start;
    run_result r = capture([&] {
        vm_init();
        start = cf;
        vm_start();
        mirt_step(); // invokestatic
    });
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(r.output.ends_with("\tget method by id: two, (4)\n"
                                   "\tget function from id two, (4)\n"
                                   "\tget function from id B, (2)\n"
                                   "teste: _A_\nteste: _B_\n"
                                   "found: _B_, count: " +
                                   std::to_string(cf.base) +
                                   "\n"
                                   "\tget method by id: one, (0)\n"
                                   "\tget method by id: two, (1)\n"
                                   "\tset frame to two, (1)\n"
                                   "==> descriptor idx: 4 \n==> descriptor ()V\n"))
        << r.output;
    EXPECT_EQ(last_cf, cf);
    EXPECT_NE(cf, start);
    EXPECT_EQ(function_counter, 2);
}

// Constant #1 is 41 in A and 99 in B: each image's ldc reads its own, also when the
// other's was loaded before.
TEST(Constants, SameNumberInTwoImagesReadsEachImagesOwn) {
    image_builder a;
    a.integer(41); // #1
    a.set_this_class(a.class_constant("A"));
    u16 to_b = a.methodref(a.class_constant("B"), "two", "()V");
    a.method(main_method(bytes{OP_ldc, 1} + invoke(to_b) + bytes{OP_ldc, 1, OP_return}));
    image_builder b;
    b.integer(99); // #1
    b.set_this_class(b.class_constant("B"));
    b.method(java_method("two", "()V", {OP_ldc, 1, OP_return}));
    run_result r = run_package(make_package({{"A", a.build()}, {"B", b.build()}}));
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(stack_counter, 3);
    EXPECT_EQ(stack_top(2).type, TYPE_INT);
    EXPECT_EQ(stack_top(2).value.S32, 41);
    EXPECT_EQ(stack_top(1).value.S32, 99);
    EXPECT_EQ(stack_top(0).type, TYPE_INT);
    EXPECT_EQ(stack_top(0).value.S32, 41);
}

TEST(Resolution, ClassLookupTakesFirstEntryThatPrefixesTheName) {
    image_builder motor =
        class_with("Motor", {java_method("run", "()V", {OP_iconst_1, OP_return})});
    image_builder motor_test =
        class_with("MotorTest", {java_method("run", "()V", {OP_iconst_2, OP_return})});
    run_result r = run_package(
        make_package({{"Start", class_calling("Start", "MotorTest", "run").image.build()},
                      {"Motor", motor.build()},
                      {"MotorTest", motor_test.build()}}));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("found: _Motor_"), std::string::npos);
    EXPECT_EQ(stack_top().value.S32, 1); // Motor.run ran
}

TEST(Resolution, MissingClassOrMethodIsError3WithTheReference) {
    calling_class a = class_calling("A", "Nowhere", "run");
    const u16 to_missing_class = a.ref;
    run_result r = run_package(make_package({{"A", a.image.build()}}));
    EXPECT_EQ(last_line(r.output),
              "ERROR: Funktion " + std::to_string(to_missing_class) + " nicht gefunden!");
    EXPECT_EQ(r.status, 255);

    image_builder b;
    u16 b_self = b.class_constant("A");
    b.set_this_class(b_self);
    u16 to_missing_method = b.methodref(b_self, "absent", "()V");
    b.method(main_method(invoke(to_missing_method) + bytes{OP_return}));
    r = run_package(make_package({{"A", b.build()}}));
    EXPECT_EQ(last_line(r.output),
              "ERROR: Funktion " + std::to_string(to_missing_method) + " nicht gefunden!");
}

TEST(Resolution, CrossClassCallFromBareImageFindsNoClass) {
    calling_class a = class_calling("A", "B", "run");
    run_result r = run_package(a.image.build());
    EXPECT_EQ(last_line(r.output), "ERROR: Funktion " + std::to_string(a.ref) + " nicht gefunden!");
}

TEST(Resolution, EmptiedNamesMatchOnlyEmptyNames) {
    // As after the size option: the target's method names have length 0.
    run_result r = run_package(make_package(
        {{"A", class_calling("A", "B", "").image.build()},
         {"B", class_with("B", {java_method("", "()V", {OP_iconst_1, OP_return})}).build()}}));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(stack_top().value.S32, 1);
}

TEST(Calls, TwentiethNestedCallOverflowsTheFrameStack) {
    image_builder image;
    u16 self = image.class_constant("T");
    image.set_this_class(self);
    u16 ref = image.methodref(self, "deeper", "()V");
    image.method(main_method(invoke(ref) + bytes{OP_return}));
    image.method(java_method("deeper", "()V", invoke(ref) + bytes{OP_return}));
    run_result r = run_package(make_package({{"T", image.build()}}));
    EXPECT_EQ(last_line(r.output), "ERROR: frame overlow!");
    EXPECT_EQ(r.status, 255);
    size_t activations = 0;
    for (size_t at = r.output.find("\tset frame to deeper"); at != std::string::npos;
         at = r.output.find("\tset frame to deeper", at + 1))
        ++activations;
    EXPECT_EQ(activations, 19u); // main plus 19 nested activations
}

TEST(Calls, NativeCallKeepsTheCallerRunning) {
    image_builder image;
    u16 self = image.class_constant("T");
    image.set_this_class(self);
    u16 send = image.methodref(self, "SendInt", "(I)V");
    image.method(main_method(bytes{OP_iconst_2, OP_istore_1, OP_bipush, 42} + invoke(send) +
                             bytes{OP_iconst_5, OP_return}));
    image.method(native_method("SendInt", "(I)V", NATIVE_DISPLAY_INT));
    run_result r = run_package(make_package({{"T", image.build()}}), true);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("\tset frame to SendInt, (1)\n\tnative function\n"
                            "DRIVE: native_display_int: 42\n"
                            "\t\topcode: 0xb8 (184) invokestatic \tvars: NULL \t int: 2 \t"),
              std::string::npos)
        << r.output;
    ASSERT_EQ(stack_counter, 1);
    EXPECT_EQ(stack_top().value.S32, 5);
}

struct native_case {
    const char* name;
    const char* descriptor;
    u16 id;
    bytes arguments; // code pushing the arguments
    const char* output;
    int stack_after;
    s32 top_after;
};

class Natives : public ::testing::TestWithParam<native_case> {};

// main pushes 77, then the row's arguments, and calls the row's native method.
bytes native_package(const native_case& c) {
    image_builder image;
    u16 self = image.class_constant("T");
    image.set_this_class(self);
    u16 ref = image.methodref(self, c.name, c.descriptor);
    image.method(main_method(bytes{OP_bipush, 77} + c.arguments + invoke(ref) + bytes{OP_return}));
    image.method(native_method(c.name, c.descriptor, c.id));
    return make_package({{"T", image.build()}});
}

TEST_P(Natives, DispatchByIdentifier) {
    const native_case& c = GetParam();
    run_result r = run_package(native_package(c));
    ASSERT_EQ(r.status, 0) << r.output;
    size_t at = r.output.find("\tnative function\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(r.output.substr(at + 17), c.output);
    EXPECT_EQ(stack_counter, c.stack_after);
    EXPECT_EQ(stack_top().value.S32, c.top_after);
    EXPECT_EQ(stack_top().type, TYPE_INT);
}

// A quiet run prints the drive's lines alone; a call of the default row is one line naming
// the call, with the arguments its param: lines show last first.
TEST_P(Natives, QuietRunPrintsOneLinePerCall) {
    const native_case& c = GetParam();
    reset_vm();
    hand_over(native_package(c), false);
    quiet = true;
    run_result r = capture([] {
        vm_init();
        vm_run();
    });
    std::string expected = c.output;
    if (expected.starts_with("ERROR: default function")) {
        std::istringstream lines(expected);
        std::string line, arguments;
        while (std::getline(lines, line))
            if (line.starts_with("param: "))
                arguments = line.substr(7) + (arguments.empty() ? "" : ", ") + arguments;
        expected = "DRIVE: " + std::string(c.name) + "(" + arguments + ") not emulated\n";
    }
    EXPECT_EQ(r.output, expected);
    reset_vm();
}

INSTANTIATE_TEST_SUITE_P(
    Identifiers, Natives,
    ::testing::Values(
        native_case{"SendInt",
                    "(I)V",
                    NATIVE_DISPLAY_INT,
                    {OP_bipush, 42},
                    "DRIVE: native_display_int: 42\n",
                    1,
                    77},
        native_case{"SendLong",
                    "(J)V",
                    NATIVE_DISPLAY_LONG,
                    {OP_lconst_1},
                    "DRIVE: native_display_long: 1\n",
                    1,
                    77},
        native_case{
            "SetLED", "(I)V", NATIVE_SET_LED, {OP_iconst_1}, "DRIVE: native_set_led: 1\n", 1, 77},
        native_case{"SetDigitalOutput",
                    "(I)V",
                    NATIVE_SET_DIGITAL_OUTPUT,
                    {OP_iconst_3},
                    "DRIVE: native_set_dig_output: 3\n",
                    1,
                    77},
        native_case{"GetMillis", "()I", NATIVE_GET_MILLIS, {}, "", 2, 100},
        native_case{"GetAnalogInput",
                    "(I)I",
                    NATIVE_GET_ANALOG_INPUT,
                    {OP_iconst_1},
                    "DRIVE: native_get_analog_input\n",
                    2,
                    1},
        native_case{"GetDigitalInput",
                    "()I",
                    NATIVE_GET_DIGITAL_INPUT,
                    {},
                    "DRIVE: native_get_dig_input\n",
                    2,
                    1},
        native_case{"GetDigitalOutput",
                    "()I",
                    NATIVE_GET_DIGITAL_OUTPUT,
                    {},
                    "DRIVE: native_get_dig_output\n",
                    2,
                    1},
        // Without emulation: exactly the declared parameters are taken, a zero of the
        // declared type is given back, the caller's 77 is never touched.
        native_case{"StartDrive",
                    "(I)V",
                    NATIVE_START_DRIVE,
                    {OP_bipush, 7},
                    "ERROR: default function -> will not work in emulator\nparam: 7\n",
                    1,
                    77},
        native_case{"StopDrive",
                    "()V",
                    NATIVE_STOP_DRIVE,
                    {},
                    "ERROR: default function -> will not work in emulator\n",
                    1,
                    77},
        native_case{"GetStatus",
                    "()I",
                    NATIVE_GET_STATUS,
                    {},
                    "ERROR: default function -> will not work in emulator\n",
                    2,
                    0},
        native_case{"SetMaxSpeed",
                    "(II)V",
                    NATIVE_SET_MAX_SPEED,
                    {OP_iconst_1, OP_iconst_2},
                    "ERROR: default function -> will not work in emulator\nparam: 2\nparam: 1\n",
                    1,
                    77}),
    [](const ::testing::TestParamInfo<native_case>& info) {
        return test_name(std::string(info.param.name) + "_" + info.param.descriptor) + "_" +
               std::to_string(info.index);
    });

TEST(Natives, DefaultRowPushesZeroOfTheDeclaredType) {
    const std::pair<const char*, u8> cases[] = {{"()J", TYPE_LONG},
                                                {"()F", TYPE_FLOAT},
                                                {"()D", TYPE_DOUBLE},
                                                {"()Z", TYPE_INT},
                                                {"()Ljava/lang/String;", TYPE_VOID},
                                                {"(JI)[I", TYPE_VOID}};
    for (auto [descriptor, tag] : cases) {
        image_builder image;
        u16 self = image.class_constant("T");
        image.set_this_class(self);
        u16 ref = image.methodref(self, "GetMode", descriptor);
        bytes args =
            std::string(descriptor).starts_with("(JI)") ? bytes{OP_lconst_1, OP_iconst_1} : bytes{};
        image.method(main_method(args + invoke(ref) + bytes{OP_return}));
        image.method(native_method("GetMode", descriptor, NATIVE_GET_MODE));
        run_result r = run_package(make_package({{"T", image.build()}}));
        ASSERT_EQ(r.status, 0) << descriptor << r.output;
        ASSERT_EQ(stack_counter, 1) << descriptor;
        EXPECT_EQ(stack_top().type, tag) << descriptor;
        EXPECT_EQ(stack_top().value.U64, 0u) << descriptor;
    }
}

TEST(Natives, UnknownIdentifierAndMissingNativeFlag) {
    image_builder image;
    u16 self = image.class_constant("T");
    image.set_this_class(self);
    u16 ref = image.methodref(self, "Mystery", "()V");
    image.method(main_method(invoke(ref) + bytes{OP_return}));
    image.method(native_method("Mystery", "()V", 0));
    run_result r = run_package(make_package({{"T", image.build()}}));
    EXPECT_EQ(last_line(r.output), "ERROR: Funktion 1 nicht gefunden!");
    EXPECT_EQ(r.status, 255);

    r = capture([] { run_native_function(0); }); // main is no native method
    EXPECT_EQ(r.output, "ERROR: 0 verweist auch keine native Funktion!\n");
}

TEST(EmulatedClock, AdvancesByHundredAndWraps) {
    millis = 0;
    EXPECT_EQ(native_get_millis(), 100);
    EXPECT_EQ(native_get_millis(), 200);
    millis = 2147483600;
    EXPECT_EQ(native_get_millis(), 0);
    EXPECT_EQ(native_get_millis(), 100);
    millis = 2147483547;
    EXPECT_EQ(native_get_millis(), 2147483647);
    EXPECT_EQ(native_get_millis(), 0);
}

TEST(EmulatedDrive, LongDisplayShowsLowWord) {
    const auto native_display_long = [](s64 value) {
        emulate_drive_function(*find_method_id(NATIVE_DISPLAY_LONG), value);
    };
    EXPECT_EQ(capture([&] { native_display_long(4294967297LL); }).output,
              "DRIVE: native_display_long: 1\n");
    EXPECT_EQ(capture([&] { native_display_long(-1); }).output, "DRIVE: native_display_long: -1\n");
}

// Methods whose proof holds run in the unchecked body; every row must end exactly as the
// checked body ends it (output, status, count, stack, pc), and the proof of main must hold
// or fail as the row says. main may call `sub` (constant 6), declared `sub_descriptor`, and
// load the int 5 (7), the long -3 (8), the double 0.5 (10) and the float 2.5 (12).
TEST(UncheckedBody, EndsAsTheCheckedBody) {
    struct row {
        const char* name;
        bytes code;
        bool holds;
        u64 limit = NO_INSTRUCTION_LIMIT;
        u16 max_locals = 0;
        const char* sub_descriptor = "()V";
        bytes sub_code = {OP_return};
    };
    const bytes counted_loop = {OP_iconst_3, OP_istore_0, OP_iinc, 0,    0xFF,
                                OP_iload_0,  OP_ifne,     0xFF,    0xFC, OP_return};
    // From the second time on, the call and the return are made by the unchecked body itself.
    const bytes calls = bytes{OP_iconst_3, OP_istore_0} + invoke(6) +
                        bytes{OP_iinc, 0, 0xFF, OP_iload_0, OP_ifne, 0xFF, 0xF9, OP_return};
    // A loop head, two compound assignments and a loop end, each run as one fused step.
    const bytes fused = {
        OP_iconst_0, OP_istore_0,  OP_iconst_5, OP_istore_1, OP_iconst_1, OP_istore_2, OP_iload_0,
        OP_iload_1,  OP_if_icmpge, 0,           17,          OP_iload_2,  OP_iload_2,  OP_iadd,
        OP_istore_2, OP_iload_2,   OP_iload_0,  OP_ixor,     OP_istore_3, OP_iinc,     0,
        1,           OP_goto,      0xFF,        0xF0,        OP_return};
    // A loop over constant loads, its head and a test comparing with constants.
    const bytes constants = {
        OP_iconst_0, OP_istore_0, OP_iload_0, OP_ldc,      7,        OP_if_icmpge,
        0,           30,          OP_ldc2_w,  0,           8,        OP_lstore_1,
        OP_ldc2_w,   0,           10,         OP_dstore_2, OP_ldc_w, 0,
        12,          OP_fstore_3, OP_iload_0, OP_bipush,   3,        OP_if_icmpne,
        0,           6,           OP_iinc,    0,           1,        OP_iinc,
        0,           1,           OP_goto,    0xFF,        0xE2,     OP_return};
    // Register locals with constants of each length, each operation's result stored.
    const bytes local_constants = {
        OP_bipush,  19,          OP_istore_0, OP_iconst_m1, OP_istore_1, OP_iload_1,
        OP_iload_0, OP_iconst_1, OP_ishl,     OP_ixor,      OP_istore_1, OP_iload_0,
        OP_bipush,  0xF0,        OP_iand,     OP_iload_1,   OP_sipush,   1,
        0,          OP_imul,     OP_isub,     OP_istore_2,  OP_iload_1,  OP_ldc,
        7,          OP_iushr,    OP_istore_3, OP_return};
    const row rows[] = {
        {"loop", counted_loop, true},
        {"register locals with constants", local_constants, true},
        {"register locals with constants, cut inside a run", local_constants, true, 8},
        {"constants", constants, true},
        {"constants cut inside a run", constants, true, 30},
        {"ldc of a long constant", {OP_nop, OP_ldc, 8, OP_return}, true},
        {"operations with int constants",
         {OP_iconst_5, OP_iconst_m1,
          OP_iadd,     OP_bipush,
          0xFD,        OP_imul,
          OP_sipush,   0x80,
          1,           OP_ixor,
          OP_iconst_2, OP_iushr,
          OP_ldc_w,    0,
          7,           OP_ishl,
          OP_i2l,      OP_bipush,
          33,          OP_lshr,
          OP_ldc,      7,
          OP_lshl,     OP_lstore_0,
          OP_return},
         true},
        {"long, float and double comparisons branching",
         {OP_lconst_1, OP_lconst_0, OP_lcmp,  OP_ifle, 0, 17,     OP_fconst_0,
          OP_fconst_1, OP_fcmpg,    OP_iflt,  0,       5, OP_nop, OP_nop,
          OP_dconst_0, OP_dconst_0, OP_dcmpl, OP_ifne, 0, 3,      OP_return},
         true},
        {"fused steps", fused, true},
        {"fused steps cut inside a run", fused, true, 23},
        {"iinc of a float register before goto",
         {OP_fconst_0, OP_fstore_0, OP_iinc, 0, 1, OP_goto, 0xFF, 0xFD},
         true},
        {"calls in a loop", calls, true},
        {"calls in a loop, cut on the last return", calls, true, 14},
        {"division by zero after calls in a loop", // their kept lines come out first
         bytes(calls.begin(), calls.end() - 1) +
             bytes{OP_iconst_1, OP_iconst_0, OP_idiv, OP_return},
         true},
        {"loop cut inside a run", counted_loop, true, 6},
        {"branch taken over the rest of a run",
         {OP_iconst_0, OP_ifeq, 0, 5, OP_iconst_1, OP_pop, OP_return},
         true},
        {"division by zero inside a run", {OP_iconst_1, OP_iconst_0, OP_idiv, OP_return}, true},
        {"iinc of a long register", {OP_lconst_0, OP_lstore_0, OP_iinc, 0, 1, OP_return}, true},
        {"unknown opcode inside a run", {OP_nop, OP_iconst_1, 0xcb, OP_return}, true},
        {"branch into what the JVM reads as a refused instruction's operand",
         {OP_iconst_0, OP_ifeq, 0, 4, OP_ret, OP_iconst_1, OP_pop, OP_return},
         true},
        {"pop below the entry depth", {OP_iconst_1, OP_pop, OP_pop, OP_return}, true},
        {"missing constant inside a run", {OP_nop, OP_ldc, 99, OP_return}, true},
        {"wide iinc",
         {OP_iconst_0, OP_istore_0, OP_wide, OP_iinc, 0, 0, 1, 0, OP_iload_0, OP_return},
         true},
        {"stack growing in a loop", {OP_iconst_1, OP_goto, 0xFF, 0xFF}, false},
        {"jump outside the code", {OP_goto, 0, 5, OP_return}, false},
        {"operand past the end", {OP_nop, OP_bipush}, false},
        {"falls off the end", {OP_iconst_1}, false},
        {"pop2", {OP_lconst_0, OP_pop2, OP_return}, false},
        {"branch into an operand", {OP_iconst_0, OP_ifeq, 0, 2, OP_return}, false},
        {"load beyond the locals", {OP_iload, 1, OP_return}, false, NO_INSTRUCTION_LIMIT, 1},
        {"callee leaves an entry",
         bytes{OP_iconst_2} + invoke(6) + bytes{OP_iadd, OP_return},
         true,
         NO_INSTRUCTION_LIMIT,
         0,
         "()V",
         {OP_iconst_1, OP_return}},
        {"callee too deep for its proof",
         bytes(17, OP_iconst_0) + invoke(6) + bytes{OP_return},
         true,
         NO_INSTRUCTION_LIMIT,
         0,
         "()V",
         {OP_iconst_0, OP_iconst_0, OP_iconst_0, OP_return}},
        {"callee takes more than declared",
         bytes{OP_iconst_2} + invoke(6) + bytes{OP_pop, OP_return},
         true,
         NO_INSTRUCTION_LIMIT,
         0,
         "(I)V",
         {OP_pop, OP_pop, OP_return}},
    };
    for (const row& c : rows) {
        std::string ends[2];
        for (bool unchecked : {false, true}) {
            image_builder image;
            const u16 self = image.class_constant("T");
            image.set_this_class(self);
            ASSERT_EQ(image.methodref(self, "sub", c.sub_descriptor), 6);
            ASSERT_EQ(image.integer(5), 7);
            ASSERT_EQ(image.long_constant(-3), 8);
            ASSERT_EQ(image.double_constant(0.5), 10);
            ASSERT_EQ(image.float_constant(2.5f), 12);
            image.method(java_method("main", "()V", c.code, JAVA_MAIN_METHOD, c.max_locals));
            image.method(java_method("sub", c.sub_descriptor, c.sub_code));
            reset_vm();
            set_stop_handler([](stop_reason) { throw fatal_exit{2}; });
            hand_over(make_package({{"T", image.build()}}), false);
            verified_fast_path = unchecked;
            instruction_limit = c.limit;
            const run_result r = capture([] {
                vm_init();
                vm_run();
            });
            std::ostringstream end;
            end << r.output << "status " << r.status << " count " << instructions_executed << " pc "
                << pc - code_begin;
            for (int i = 0; i < stack_counter; ++i)
                end << ' ' << int(stack[i].type) << ':' << stack[i].value.U64;
            for (const variable& local : local_var)
                end << " local " << int(local.type) << ':' << local.value.U64;
            ends[unchecked] = end.str();
            if (unchecked) {
                const method_proof* proof =
                    proof_of(cf, current_frame.method, [] { return code_info{}; });
                EXPECT_EQ(proof && proof->holds, c.holds) << c.name;
            }
        }
        EXPECT_EQ(ends[1], ends[0]) << c.name;
    }
    reset_vm();
}

} // namespace
