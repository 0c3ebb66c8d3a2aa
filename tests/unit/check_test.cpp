// mirt_check on packages made to measure: each finding with a package that triggers it and
// one that does not, and the verdict compared with what the VM actually does.
#include "check.h"
#include "fuzz_inputs.h"
#include "vm_harness.h"

using namespace testing_support;

namespace {

struct check_case {
    const char* what;
    std::function<bytes()> make;
    const char* finding; // expected in the report; null: no finding at all
    bool error;          // the finding is an error (the VM stops)
};

// One class T whose main runs `code`; `setup` adds constants and methods first.
bytes one_class(bytes code, const std::function<void(image_builder&, u16)>& setup = {},
                u16 max_locals = 0) {
    image_builder image;
    u16 self = image.class_constant("T");
    image.set_this_class(self);
    if (setup) setup(image, self);
    method_spec main = main_method(std::move(code));
    main.max_locals = max_locals;
    image.method(main);
    return make_package({{"T", image.build()}});
}

bytes calling(const std::string& name, const std::string& descriptor, const bytes& args,
              method_spec callee) {
    image_builder image;
    u16 self = image.class_constant("T");
    image.set_this_class(self);
    u16 ref = image.methodref(self, name, descriptor);
    image.method(main_method(args + invoke(ref) + bytes{OP_return}));
    image.method(std::move(callee));
    return make_package({{"T", image.build()}});
}

// main passes `args` to drive function `id` declared `descriptor`, drops what the declaration
// says it returns, and does that forever: a call that leaves or takes an entry shows itself.
// "m7"; appended, as g++ 12 warns falsely (-Wrestrict) on a literal + std::to_string.
std::string numbered(const char* prefix, int i) {
    std::string name = prefix;
    name += std::to_string(i);
    return name;
}

bytes drive_loop(const std::string& name, const std::string& descriptor, method_id id,
                 const bytes& args) {
    image_builder image;
    u16 self = image.class_constant("T");
    image.set_this_class(self);
    u16 ref = image.methodref(self, name, descriptor);
    bytes code = args + invoke(ref);
    if (!descriptor.ends_with(")V")) code.push_back(OP_pop);
    const auto back = static_cast<u16>(-static_cast<int>(code.size()));
    code = code + bytes{OP_goto, static_cast<u8>(back >> 8), static_cast<u8>(back)};
    image.method(main_method(code));
    image.method(native_method(name, descriptor, id));
    return make_package({{"T", image.build()}});
}

// main pushes `below` ints and calls f`descriptor`, which pushes `own` ints: the operand
// stack they share holds below - parameters + own entries at the most.
bytes stacked_call(int below, const std::string& descriptor, int own) {
    return calling("f", descriptor, bytes(below, OP_iconst_1),
                   java_method("f", descriptor, bytes(own, OP_iconst_1) + bytes{OP_return}));
}

const check_case cases[] = {
    {"clean",
     [] {
         return one_class({OP_iconst_1, OP_pop, OP_return});
     },
     nullptr, false},
    {"unsupported opcode",
     [] {
         return one_class({OP_iconst_1, OP_newarray, 10, OP_return});
     },
     "T.main@1: error: arrays are not supported (newarray, error 5)", true},
    {"unsupported opcode in unreachable code",
     [] {
         return one_class({OP_return}, [](image_builder& image, u16) {
             image.method(java_method("<init>", "()V", {OP_aload_0, OP_return}, JAVA_INIT_METHOD));
         });
     },
     nullptr, false},
    {"ldc of a string",
     [] {
         return one_class({OP_ldc, 4, OP_return},
                          [](image_builder& image, u16) { image.string_constant("hi"); });
     },
     "T.main@0: error: string constants are not supported (\"hi\", error 11)", true},
    {"ldc2_w of an int",
     [] {
         return one_class({OP_ldc2_w, 0, 3, OP_return},
                          [](image_builder& image, u16) { image.integer(5); });
     },
     "error: constant 3 is no long or double", true},
    {"iinc beyond the registers",
     [] {
         return one_class({OP_iinc, 5, 1, OP_return}, {}, 6);
     },
     "T.main@0: error: iinc of local 5", true},
    {"indexed local beyond max_locals",
     [] {
         return one_class({OP_iload, 3, OP_return}, {}, 3);
     },
     "T.main@0: error: local 3 is beyond this method's 3 locals", true},
    {"jump outside the code",
     [] {
         return one_class({OP_goto, 0, 9, OP_return});
     },
     "T.main@0: error: jump to 9 leaves the method's code", true},
    {"code without return", [] { return one_class({OP_iconst_1}); },
     "error: execution runs past the end of the code", true},
    {"float parameter",
     [] { return calling("f", "(F)V", {OP_fconst_1}, java_method("f", "(F)V", {OP_return})); },
     "T.f: error: parameter type F is not int or long", true},
    {"five int parameters",
     [] {
         return calling("f", "(IIIII)V", bytes(5, OP_iconst_1),
                        java_method("f", "(IIIII)V", {OP_return}));
     },
     "T.f: error: parameters need more than 4 slots", true},
    {"local window past 20",
     [] { return calling("f", "()V", {}, java_method("f", "()V", {OP_return}, 0, 5, 18)); },
     "T.f: error: local variables take pool entries 18 to 22, beyond the 20 there are (error 18); "
     "the methods' shares: T.f 5",
     true},
    {"pool shares, largest first",
     [] {
         image_builder image;
         u16 self = image.class_constant("T");
         image.set_this_class(self);
         const u16 a = image.methodref(self, "a", "()V");
         const u16 b = image.methodref(self, "b", "()V");
         image.method(main_method(invoke(a) + invoke(b) + bytes{OP_return}));
         image.method(java_method("a", "()V", {OP_return}, 0, 2, 0));
         image.method(java_method("b", "()V", {OP_return}, 0, 19, 2));
         return make_package({{"T", image.build()}});
     },
     "T.b: error: local variables take pool entries 2 to 20, beyond the 20 there are (error 18); "
     "the methods' shares: T.b 19, T.a 2\n",
     true},
    {"missing class",
     [] {
         return make_package({{"T", class_calling("T", "Gone", "f").image.build()}});
     },
     "T.main@0: error: class Gone is not in the package", true},
    {"names emptied by the size option",
     [] {
         return make_package(
             {{"A", class_calling("A", "B", "run").image.build()},
              {"B", class_with("B", {java_method("", "()V", {OP_return})}).build()}});
     },
     "error: class B has no method run (error 3); its method names were removed with -OS", true},
    {"class lookup by prefix",
     [] {
         return make_package(
             {{"A", class_calling("A", "MotorTest", "run").image.build()},
              {"Motor", class_with("Motor", {java_method("run", "()V", {OP_return})}).build()}});
     },
     "warning: class MotorTest is looked up as Motor", false},
    {"native without identifier",
     [] { return calling("Mystery", "()V", {}, native_method("Mystery", "()V", 0)); },
     "T.Mystery: error: native method without a drive function identifier", true},
    {"drive function without emulation",
     [] {
         return calling("StartDrive", "()V", {},
                        native_method("StartDrive", "()V", NATIVE_START_DRIVE));
     },
     "warning: drive function StartDrive (id 52) is not emulated", false},
    {"long display",
     [] {
         return calling("SendLong", "(J)V", {OP_lconst_1},
                        native_method("SendLong", "(J)V", NATIVE_DISPLAY_LONG));
     },
     "T.SendLong: warning: SendLong shows only the low 32 bits", false},
    {"endless main",
     [] {
         return one_class({OP_iconst_1, OP_pop, OP_goto, 0xFF, 0xFE});
     },
     "T.main: note: main never returns; the emulator runs until stopped", false},
    {"loop with a way out",
     [] {
         return one_class({OP_iconst_1, OP_ifeq, 0, 6, OP_goto, 0xFF, 0xFC, OP_return});
     },
     nullptr, false},
    {"drive function given an extra argument",
     [] {
         return drive_loop("SetDigitalOutput", "(II)V", NATIVE_SET_DIGITAL_OUTPUT,
                           {OP_iconst_1, OP_iconst_0});
     },
     "T.SetDigitalOutput: error: drive function SetDigitalOutput is declared (II)V, but the VM "
     "dispatches it as (I)V: the VM takes 1 of the 2 arguments: every call leaves 1 entry",
     true},
    {"drive input given a channel",
     [] { return drive_loop("GetDigitalInput", "(I)I", NATIVE_GET_DIGITAL_INPUT, {OP_iconst_1}); },
     "the VM takes 0 of the 1 arguments", true},
    {"drive output given nothing",
     [] { return drive_loop("SendInt", "()V", NATIVE_DISPLAY_INT, {}); },
     "the VM takes an argument the call does not pass", true},
    {"drive clock declared void",
     [] { return drive_loop("GetMillis", "()V", NATIVE_GET_MILLIS, {}); },
     "the VM leaves its result on the operand stack", true},
    {"drive channel input without a channel",
     [] { return drive_loop("GetAnalogInput", "()I", NATIVE_GET_ANALOG_INPUT, {}); },
     "the VM takes an argument the call does not pass", true},
    {"drive output read as a long",
     [] { return drive_loop("SendLong", "(I)V", NATIVE_DISPLAY_LONG, {OP_iconst_1}); },
     "the VM reads the argument as a long", false},
    {"drive output readback declared void",
     [] { return drive_loop("GetDigitalOutput", "()V", NATIVE_GET_DIGITAL_OUTPUT, {}); },
     "the VM leaves its result on the operand stack", true},
    {"drive output of another type",
     [] {
         return calling("SetLED", "(J)V", {OP_lconst_1},
                        native_method("SetLED", "(J)V", NATIVE_SET_LED));
     },
     "T.SetLED: warning: drive function SetLED is declared (J)V, but the VM dispatches it as (I)V: "
     "the VM reads the argument as an int",
     false},
    {"default-row drive function with two arguments",
     [] {
         return calling("SetMaxSpeed", "(II)V", {OP_iconst_1, OP_iconst_1},
                        native_method("SetMaxSpeed", "(II)V", NATIVE_SET_MAX_SPEED));
     },
     "warning: drive function SetMaxSpeed is declared (II)V: the device's functions take at most "
     "one argument",
     false},
    {"twenty nested calls",
     [] {
         image_builder image;
         u16 self = image.class_constant("T");
         image.set_this_class(self);
         std::vector<u16> refs;
         for (int i = 0; i < FRAME_ENTRIES; ++i)
             refs.push_back(image.methodref(self, numbered("m", i), "()V"));
         image.method(main_method(invoke(refs[0]) + bytes{OP_return}));
         for (int i = 0; i < FRAME_ENTRIES; ++i)
             image.method(java_method(numbered("m", i), "()V",
                                      i < FRAME_LIMIT ? invoke(refs[i + 1]) + bytes{OP_return}
                                                      : bytes{OP_return}));
         return make_package({{"T", image.build()}});
     },
     "T.main: error: calls nest 20 deep", true},
    {"recursion with shared locals",
     [] {
         image_builder image;
         u16 self = image.class_constant("T");
         image.set_this_class(self);
         u16 ref = image.methodref(self, "down", "(I)V");
         image.method(main_method(bytes{OP_iconst_3} + invoke(ref) + bytes{OP_return}));
         image.method(java_method("down", "(I)V",
                                  bytes{OP_iload_0, OP_istore, 4, OP_iload_0, OP_ifle, 0, 9,
                                        OP_iinc, 0, 0xFF, OP_iload_0} +
                                      invoke(ref) + bytes{OP_return},
                                  0, 5, 0));
         return make_package({{"T", image.build()}});
     },
     "T.down: warning: local variables 4 and up are shared", false},
    {"recursion without end",
     [] {
         image_builder image;
         u16 self = image.class_constant("T");
         image.set_this_class(self);
         u16 ref = image.methodref(self, "down", "()V");
         image.method(main_method(invoke(ref) + bytes{OP_return}));
         image.method(java_method("down", "()V", invoke(ref) + bytes{OP_return}));
         return make_package({{"T", image.build()}});
     },
     "T.down: error: calls itself again on every path", true},
    {"operand stack underflow in main",
     [] {
         return one_class({OP_iconst_1, OP_dup_x1, OP_return});
     },
     "T.main@1: error: dup_x1 takes more entries than the operand stack holds", true},
    {"operand stack full in one method",
     [] { return one_class(bytes(20, OP_iconst_1) + bytes{OP_return}); },
     "T.main: error: the operand stack would hold 20 entries along the calls from here", true},
    {"operand stack full along a call", [] { return stacked_call(10, "()V", 10); },
     "T.main: error: the operand stack would hold 20 entries along the calls from here", true},
    {"operand stack at its limit along a call", [] { return stacked_call(9, "()V", 10); }, nullptr,
     false},
    {"parameters leave the stack before the callee runs",
     [] { return stacked_call(10, "(I)V", 10); }, nullptr, false},
    {"narrowing",
     [] {
         return one_class({OP_iconst_1, OP_i2b, OP_pop, OP_return});
     },
     "T.main@1: warning: i2b only retags the value", false},
    {"NaN comparison",
     [] {
         return one_class({OP_fconst_0, OP_fconst_1, OP_fcmpg, OP_pop, OP_return});
     },
     "T.main@2: warning: fcmpg: a NaN compares as equal", false},
    {"float to int",
     [] {
         return one_class({OP_dconst_1, OP_d2i, OP_pop, OP_return});
     },
     "T.main@1: warning: d2i gives MIN_VALUE", false},
    {"dup2 of a long",
     [] {
         return one_class(
             {OP_iconst_1, OP_lconst_1, OP_dup2, OP_pop, OP_pop, OP_pop, OP_pop, OP_return});
     },
     "T.main@2: warning: dup2 moves 2 single entries, but a long or double is among them", false},
    {"dup2 of two ints is fine",
     [] {
         return one_class(
             {OP_iconst_1, OP_iconst_2, OP_dup2, OP_pop, OP_pop, OP_pop, OP_pop, OP_return});
     },
     nullptr, false},
    {"second main",
     [] {
         image_builder image;
         image.set_this_class(image.class_constant("T"));
         image.method(main_method({OP_return}));
         image.method(main_method({OP_return}, "mainLoop"));
         return make_package({{"T", image.build()}});
     },
     "T.mainLoop: warning: also carries the main identifier", false},
    {"main with parameters",
     [] {
         image_builder image;
         image.set_this_class(image.class_constant("T"));
         method_spec m = main_method({OP_return});
         m.descriptor = "([Ljava/lang/String;)V";
         image.method(m);
         return make_package({{"T", image.build()}});
     },
     "T.main: error: main must not take parameters", true},
    {"no main",
     [] {
         image_builder image;
         image.set_this_class(image.class_constant("T"));
         image.method(java_method("run", "()V", {OP_return}));
         return make_package({{"T", image.build()}});
     },
     "package: error: class T has no method named main", true},
    {"damaged package",
     [] {
         bytes damaged = one_class({OP_return});
         damaged.resize(damaged.size() - 20);
         return damaged;
     },
     "package: error: damaged package: ", true},
};

class CheckCase : public ::testing::TestWithParam<check_case> {};

TEST_P(CheckCase, FindingsAgreeWithTheVm) {
    const check_case& c = GetParam();
    const bytes input = c.make();
    const check_report report = check_package(input, false);
    if (c.finding) {
        EXPECT_NE(report.text.find(c.finding), std::string::npos) << c.what << "\n" << report.text;
    } else {
        EXPECT_EQ(report.errors + report.warnings, 0) << c.what << "\n" << report.text;
    }
    EXPECT_EQ(check_exit_status(report), c.error ? 1 : 0) << c.what << "\n" << report.text;
    // The VM stops exactly where the check reports errors.
    fuzz::outcome outcome{};
    capture([&] { outcome = fuzz::run_package_input(input.data(), input.size()); });
    EXPECT_EQ(outcome == fuzz::outcome::fatal, c.error) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, CheckCase, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<check_case>& info) {
                             return test_name(info.param.what);
                         });

TEST(Check, ReportListsClassesMethodsAndDisassembly) {
    const bytes input = calling("SendInt", "(I)V", {OP_bipush, 7},
                                native_method("SendInt", "(I)V", NATIVE_DISPLAY_INT));
    const check_report report = check_package(input, true);
    EXPECT_EQ(report.text, "class T (image at package offset 16)\n"
                           "  method 0 main()V id 102 locals none params 0: entry point\n"
                           "       0: bipush 07\n"
                           "       2: invokestatic 00 06\n"
                           "       5: return\n"
                           "  method 1 SendInt(I)V id 110 native params 1: reachable\n"
                           "summary: 0 errors, 0 warnings\n");
}

TEST(Check, NotAPackage) {
    const check_report report = check_package({0x01, 0x02, 0x03}, false);
    EXPECT_EQ(check_exit_status(report), 2);
    EXPECT_FALSE(report.is_package);
}

} // namespace
