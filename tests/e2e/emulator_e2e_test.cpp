// Runs the built mirt_emulator as a user does and compares its complete standard output
// and exit status with tests/golden/<case>.out. With MIRT_UPDATE_GOLDEN=1 the files are
// written instead (review every change before committing it).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "mirt_method_ids.h"
#include "mirt_opcodes.h"
#include "package_builder.h"
#include "process.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

void write_file(const std::string& name, const bytes& content) {
    write_scratch_file(name, content);
}

std::string run_emulator(const std::string& arguments) {
    process_result r = run_in_scratch(MIRT_EMULATOR, arguments);
    return r.output + "\n--- exit status: " + std::to_string(r.status) + "\n";
}

void expect_golden(const std::string& name, const std::string& arguments) {
    const std::string actual = run_emulator(arguments);
    const fs::path golden = fs::path(MIRT_GOLDEN_DIR) / (name + ".out");
    if (std::getenv("MIRT_UPDATE_GOLDEN")) {
        std::ofstream(golden, std::ios::binary) << actual;
        return;
    }
    std::ifstream in(golden, std::ios::binary);
    ASSERT_TRUE(in) << "missing " << golden;
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(actual, expected.str());
}

// The 117-byte package of class T with main() { return; }, written out byte by byte.
const bytes worked_example = {
    0x02, 0xFE, 0xAF, 0xEC, 0x01, 0x00, 0x01, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x54,
    0x00, // header and directory entry T at offset 16
    0x01, 0xFE, 0xAF, 0xEC, 0x06, 0x00, 0x1E, 0x00, 0x21, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,
    0x00, 0xDD, 0xDD, 0x00, 0x00, 0xDD, 0xDD, 0x01, 0x00, 0x45, 0x00, 0x00, 0x00, 0xDD, 0xDD,
    0x2A, 0x00, 0x2E, 0x00, 0x31, 0x00, 0x38, 0x00, 0x3E, 0x00, 0xEE, 0xEE, // address table
    0x01, 0x01, 0x00, 0x54,                                                 // #1 T
    0x07, 0x01, 0x00,                                                       // #2 Class
    0x01, 0x04, 0x00, 0x6D, 0x61, 0x69, 0x6E,                               // #3 main
    0x01, 0x03, 0x00, 0x28, 0x29, 0x56,                                     // #4 ()V
    0x01, 0x04, 0x00, 0x43, 0x6F, 0x64, 0x65,                               // #5 Code
    0x47, 0x00,                                                             // method table
    0x09, 0x00, 0x02, 0x00, 0x66, 0x00, 0x03, 0x00, 0x01, 0x00, 0x53, 0x00, // method record
    0x55, 0x00,                                                             // attribute table
    0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xB1, // Code body
    0xFF, 0xFF, 0xFF, 0xFF};

TEST(WorkedExample, IsWhatTheBuilderMakes) {
    ASSERT_EQ(worked_example.size(), 117u);
    image_builder image;
    image.set_this_class(image.class_constant("T"));
    image.utf8("main"), image.utf8("()V"), image.utf8("Code");
    method_spec main_method = java_method("main", "()V", {OP_return}, JAVA_MAIN_METHOD);
    main_method.max_stack = 0;
    image.method(main_method);
    EXPECT_EQ(make_package({{"T", image.build()}}), worked_example);
}

TEST(Emulator, WorkedExample) {
    write_file("T.prg", worked_example);
    expect_golden("worked_example", "T.prg");
    expect_golden("worked_example_debug", "-debug T.prg");
}

TEST(Emulator, Blink) {
    image_builder image;
    u16 self = image.class_constant("Blink");
    image.set_this_class(self);
    u16 led = image.methodref(self, "SetLED", "(I)V");
    image.method(java_method("<init>", "()V", {OP_return}, JAVA_INIT_METHOD));
    image.method(java_method("main", "()V", bytes{OP_iconst_1} + invoke(led) + bytes{OP_return},
                             JAVA_MAIN_METHOD));
    image.method(native_method("SetLED", "(I)V", NATIVE_SET_LED));
    write_file("Blink.prg", make_package({{"Blink", image.build()}}));
    expect_golden("blink", "Blink.prg");
    expect_golden("blink_debug", "-debug Blink.prg");
}

// Main -> Motor.cycle() -> Display.show(I)I -> SendInt, and back with the result.
TEST(Emulator, CallsThroughTwoClassesAndBack) {
    image_builder main_class;
    u16 main_self = main_class.class_constant("Main");
    main_class.set_this_class(main_self);
    u16 cycle = main_class.methodref(main_class.class_constant("Motor"), "cycle", "()I");
    u16 send = main_class.methodref(main_self, "SendInt", "(I)V");
    main_class.method(java_method("main", "()V", invoke(cycle) + invoke(send) + bytes{OP_return},
                                  JAVA_MAIN_METHOD));
    main_class.method(native_method("SendInt", "(I)V", NATIVE_DISPLAY_INT));

    image_builder motor;
    motor.set_this_class(motor.class_constant("Motor"));
    u16 show = motor.methodref(motor.class_constant("Display"), "show", "(I)I");
    motor.method(
        java_method("cycle", "()I", bytes{OP_bipush, 20} + invoke(show) + bytes{OP_ireturn}));

    image_builder display;
    u16 display_self = display.class_constant("Display");
    display.set_this_class(display_self);
    u16 millis = display.methodref(display_self, "GetMillis", "()I");
    display.method(
        java_method("show", "(I)I", invoke(millis) + bytes{OP_iload_0, OP_iadd, OP_ireturn}));
    display.method(native_method("GetMillis", "()I", NATIVE_GET_MILLIS));

    write_file("Calls.prg", make_package({{"Main", main_class.build()},
                                          {"Motor", motor.build()},
                                          {"Display", display.build()}}));
    expect_golden("calls_through_classes", "-debug Calls.prg");
}

TEST(Emulator, NativesWithAndWithoutEmulation) {
    image_builder image;
    u16 self = image.class_constant("Drive");
    image.set_this_class(self);
    u16 start = image.methodref(self, "StartDrive", "()V");
    u16 speed = image.methodref(self, "SetMaxSpeed", "(I)V");
    u16 status = image.methodref(self, "GetStatus", "()I");
    u16 send = image.methodref(self, "SendInt", "(I)V");
    image.method(java_method("main", "()V",
                             invoke(start) + bytes{OP_sipush, 0x01, 0xF4} + invoke(speed) +
                                 invoke(status) + invoke(send) + bytes{OP_return},
                             JAVA_MAIN_METHOD));
    image.method(native_method("StartDrive", "()V", NATIVE_START_DRIVE));
    image.method(native_method("SetMaxSpeed", "(I)V", NATIVE_SET_MAX_SPEED));
    image.method(native_method("GetStatus", "()I", NATIVE_GET_STATUS));
    image.method(native_method("SendInt", "(I)V", NATIVE_DISPLAY_INT));
    write_file("Drive.prg", make_package({{"Drive", image.build()}}));
    expect_golden("natives", "Drive.prg");
}

TEST(Emulator, TwentyNestedCallsOverflowTheFrames) {
    image_builder image;
    u16 self = image.class_constant("Deep");
    image.set_this_class(self);
    u16 down = image.methodref(self, "down", "()V");
    image.method(java_method("main", "()V", invoke(down) + bytes{OP_return}, JAVA_MAIN_METHOD));
    image.method(java_method("down", "()V", invoke(down) + bytes{OP_return}));
    write_file("Deep.prg", make_package({{"Deep", image.build()}}));
    expect_golden("frame_overflow", "Deep.prg");
}

TEST(Emulator, MainWithParameters) {
    image_builder image;
    image.set_this_class(image.class_constant("Args"));
    image.method(java_method("main", "([Ljava/lang/String;)V", {OP_return}, JAVA_MAIN_METHOD));
    write_file("Args.prg", make_package({{"Args", image.build()}}));
    expect_golden("main_with_parameters", "Args.prg");
}

TEST(Emulator, CommandLineAndFiles) {
    write_file("empty.prg", {});
    write_file("sixteen.prg", bytes(16, 0x41));
    write_file("three.prg", {0x01, 0x02, 0x03});
    write_file("large.prg", bytes(5000, 0x00));
    write_file("max.prg", bytes(4096, 0x00));
    expect_golden("usage_none", "");
    expect_golden("usage_three", "a b c");
    expect_golden("usage_not_debug", "-Debug T.prg");
    expect_golden("debug_as_file", "-debug");
    expect_golden("missing_file", "nothing.prg");
    expect_golden("empty_file", "empty.prg");
    expect_golden("sixteen_bytes", "sixteen.prg");
    expect_golden("three_bytes", "three.prg");
    expect_golden("too_large", "large.prg");
    expect_golden("largest_file", "max.prg");
}

TEST(Emulator, DamagedPackages) {
    bytes not_an_image = worked_example;
    not_an_image[16] = 0x00; // first image's magic
    write_file("noimage.prg", not_an_image);
    expect_golden("first_entry_not_a_class_image", "noimage.prg");

    bytes truncated(worked_example.begin(), worked_example.begin() + 100);
    write_file("truncated.prg", truncated);
    expect_golden("truncated_package", "truncated.prg");

    bytes endless_directory = {0x02, 0xFE, 0xAF, 0xEC, 0xFF, 0xFF};
    write_file("directory.prg", endless_directory);
    expect_golden("directory_beyond_file", "directory.prg");
}

} // namespace
