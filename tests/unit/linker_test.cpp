// The linker's stages on class files made to measure: reading, identifiers, the size
// option, image layout and package assembly.
#include <gtest/gtest.h>

#include <cstdio>

#include "class_file_builder.h"
#include "classloader.h"
#include "file_converter.h"
#include "file_writer.h"
#include "mirt_method_ids.h"
#include "string_helper.h"

using testing_support::class_file_builder;
using bytes = std::vector<u8>;

namespace {

std::string captured(const std::function<void()>& body) {
    ::testing::internal::CaptureStdout();
    body();
    return ::testing::internal::GetCapturedStdout();
}

u16 le16(const bytes& image, size_t at) { return static_cast<u16>(image[at] | image[at + 1] << 8); }

bytes worked_example_class() { return class_file_builder::with_main("T"); }

std::unique_ptr<ClassFile> read(const bytes& data, bool debug = false) {
    std::unique_ptr<ClassFile> cf;
    captured([&] { cf = read_class_bytes(data, debug); });
    return cf;
}

TEST(Reader, WorkedExampleBecomesTheDocumentedImage) {
    local_var_idx = 0;
    auto cf = read(worked_example_class());
    ASSERT_TRUE(cf);
    convert_class_file(*cf, false, false);
    const bytes expected = {
        0x01, 0xFE, 0xAF, 0xEC, 0x06, 0x00, 0x1E, 0x00, 0x21, 0x00, 0x02, 0x00, 0x00, 0x00,
        0x00, 0x00, 0xDD, 0xDD, 0x00, 0x00, 0xDD, 0xDD, 0x01, 0x00, 0x45, 0x00, 0x00, 0x00,
        0xDD, 0xDD, 0x2A, 0x00, 0x2E, 0x00, 0x31, 0x00, 0x38, 0x00, 0x3E, 0x00, 0xEE, 0xEE,
        0x01, 0x01, 0x00, 0x54, 0x07, 0x01, 0x00, 0x01, 0x04, 0x00, 0x6D, 0x61, 0x69, 0x6E,
        0x01, 0x03, 0x00, 0x28, 0x29, 0x56, 0x01, 0x04, 0x00, 0x43, 0x6F, 0x64, 0x65, 0x47,
        0x00, 0x09, 0x00, 0x02, 0x00, 0x66, 0x00, 0x03, 0x00, 0x01, 0x00, 0x53, 0x00, 0x55,
        0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xB1};
    EXPECT_EQ(build_class_image(*cf, false), expected);
}

TEST(Reader, CountsBytesAndTracesSections) {
    local_var_idx = 0;
    const bytes data = worked_example_class();
    std::string out = captured([&] { read_class_bytes(data, true); });
    EXPECT_EQ(get_max_addr(), data.size());
    EXPECT_EQ(out, "LOAD: constant pool: 0x0a - String: (0) T\n String: (2) main\n"
                   " String: (3) ()V\n String: (4) Code\n 0x25\n"
                   "LOAD: method info addr : 0x31 LOAD: code: 0x3f - 0x4c\n"
                   "idx: 0 name (3): main\n");
}

TEST(Reader, EveryTruncationIsRefused) {
    const bytes data = worked_example_class();
    for (size_t cut = 0; cut < data.size(); ++cut) {
        bytes part(data.begin(), data.begin() + static_cast<long>(cut));
        std::unique_ptr<ClassFile> cf;
        std::string out = captured([&] { cf = read_class_bytes(part, false); });
        EXPECT_FALSE(cf) << cut;
        EXPECT_TRUE(out.starts_with("class file ends early: ")) << cut << ": " << out;
    }
}

TEST(Reader, LongAndDoubleTakeTwoSlots) {
    class_file_builder c;
    u16 big = c.long_constant(0x0000000100000002ull); // #1, #2 unusable
    u16 after = c.utf8("after");                      // #3
    c.double_bits(0x3FF0000000000000ull);             // #4, #5 unusable, last in the pool
    auto cf = read(c.build());
    ASSERT_TRUE(cf);
    EXPECT_EQ(big, 1);
    EXPECT_EQ(after, 3);
    EXPECT_EQ(cf->constant(1)->high_bytes, 1u);
    EXPECT_EQ(cf->constant(1)->low_bytes, 2u);
    EXPECT_EQ(cf->constant(2)->tag, 0);
    EXPECT_EQ(cf->constant(3)->text, "after");
    bytes image = build_class_image(*cf, false);
    // slots: #1 long, #2 none, #3 utf8, #4 double, #5 none, and the unused last slot
    EXPECT_EQ(le16(image, 30 + 2 * 1), NO_CONSTANT);
    EXPECT_EQ(le16(image, 30 + 2 * 4), NO_CONSTANT);
    EXPECT_EQ(le16(image, 30 + 2 * 5), NO_CONSTANT);
    const u16 long_at = le16(image, 30);
    EXPECT_EQ(long_at, 30 + 2 * 6);
    EXPECT_EQ(bytes(image.begin() + long_at, image.begin() + long_at + 9),
              (bytes{0x05, 0x02, 0, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(le16(image, 30 + 2 * 2), long_at + 9); // #3 right behind the long
    // No methods: the method table is empty and starts right behind the last constant.
    EXPECT_EQ(le16(image, 24), image.size());
}

TEST(Reader, NewerConstantKindsKeepTheRestInStep) {
    class_file_builder c;
    c.raw_constant({15, 6, 0x00, 0x01});          // MethodHandle
    c.raw_constant({16, 0x00, 0x01});             // MethodType
    c.raw_constant({17, 0x00, 0x01, 0x00, 0x01}); // Dynamic
    c.raw_constant({18, 0x00, 0x01, 0x00, 0x01}); // InvokeDynamic
    c.raw_constant({19, 0x00, 0x01});             // Module
    c.raw_constant({20, 0x00, 0x01});             // Package
    u16 name = c.utf8("last");
    std::unique_ptr<ClassFile> cf;
    std::string out = captured([&] { cf = read_class_bytes(c.build(), false); });
    ASSERT_TRUE(cf);
    EXPECT_EQ(cf->constant(name)->text, "last");
    EXPECT_NE(out.find("ERROR parsing file: unknown constant type (18)\n"), std::string::npos);
    bytes image;
    out = captured([&] { image = build_class_image(*cf, false); });
    EXPECT_NE(out.find("ERROR writing file: unknown constant type (15)\n"), std::string::npos);
    const u16 first = le16(image, 30), second = le16(image, 32);
    EXPECT_EQ(second - first, 1); // the tag byte alone
}

TEST(Reader, RefusesWhatWouldGarbleThePackage) {
    struct refusal {
        const char* what;
        std::function<bytes()> make;
        const char* message_start;
    };
    const refusal cases[] = {
        {"unknown constant tag",
         [] {
             class_file_builder c;
             c.raw_constant({2, 0, 0});
             return c.build();
         },
         "ERROR parsing file: unknown constant type (2)"},
        {"method name beyond the pool",
         [] {
             class_file_builder c;
             u16 d = c.utf8("()V");
             c.method(9, 40, d, {});
             return c.build();
         },
         "method name names constant 40"},
        {"method name not Utf8",
         [] {
             class_file_builder c;
             u16 d = c.utf8("()V");
             u16 k = c.integer(5);
             c.method(9, k, d, {});
             return c.build();
         },
         "method name names constant 2, which is no Utf8 constant (tag 3)"},
        {"descriptor is the unusable slot of a long",
         [] {
             class_file_builder c;
             u16 n = c.utf8("f");
             c.long_constant(1);
             c.method(9, n, 3, {});
             return c.build();
         },
         "method descriptor names constant 3"},
        {"attribute name beyond the pool",
         [] {
             class_file_builder c;
             c.class_attribute(class_file_builder::attribute(9, {}));
             return c.build();
         },
         "attribute name is constant 9"},
        {"attribute shorter than its contents",
         [] {
             class_file_builder c;
             u16 sf = c.utf8("SourceFile");
             c.class_attribute(class_file_builder::attribute(sf, {0, 1, 0, 0}));
             return c.build();
         },
         "attribute SourceFile declares 4 bytes but its contents take 2"},
    };
    for (const refusal& r : cases) {
        std::unique_ptr<ClassFile> cf;
        std::string out = captured([&] { cf = read_class_bytes(r.make(), false); });
        EXPECT_FALSE(cf) << r.what;
        EXPECT_TRUE(out.starts_with(r.message_start)) << r.what << ": " << out;
    }
}

TEST(Reader, UnknownAttributesAreSkippedByLength) {
    class_file_builder c;
    u16 name = c.utf8("f"), descriptor = c.utf8("()V"), code = c.utf8("Code");
    u16 signature = c.utf8("Signature"), lvtt = c.utf8("LocalVariableTypeTable");
    u16 number = c.integer(1);
    c.method(9, name, descriptor,
             {class_file_builder::attribute(signature, {0x00, 0x02}),
              class_file_builder::code_attribute(
                  code, 1, 3, {0xB1},
                  {class_file_builder::attribute(lvtt, {0, 1, 0, 0, 0, 1, 0, 1, 0, 2, 0, 0})}),
              class_file_builder::attribute(number, {0xAB, 0xCD})});
    std::unique_ptr<ClassFile> cf;
    std::string out = captured([&] { cf = read_class_bytes(c.build(), false); });
    ASSERT_TRUE(cf);
    EXPECT_EQ(out, "==> ERROR loadAttributes: String Type Signature\n"
                   "==> ERROR loadAttributes: default attribure type 3 ?\n");
    const method_info& m = cf->methods.at(0);
    ASSERT_EQ(m.attributes.size(), 3u);
    EXPECT_EQ(m.attributes[1].kind, attribute_kind::code);
    EXPECT_EQ(m.attributes[1].attributes.at(0).kind, attribute_kind::local_variable_table);
    EXPECT_EQ(m.attributes[2].info, (bytes{0xAB, 0xCD}));
    // In the image: a bare name for Signature, the Code body, the raw bytes for the last.
    bytes image;
    captured([&] { image = build_class_image(*cf, false); });
    const u16 table = le16(image, le16(image, le16(image, 24)) + 10);
    const u16 first = le16(image, table), second = le16(image, table + 2),
              third = le16(image, table + 4);
    EXPECT_EQ(second - first, 2);
    EXPECT_EQ(third - second, 12);
    EXPECT_EQ(image.size() - third, 4u);
}

TEST(Reader, LocalsBasesRunOnAcrossClasses) {
    auto class_with = [](std::vector<u16> max_locals) {
        class_file_builder c;
        u16 d = c.utf8("()V"), code = c.utf8("Code"), native_name = c.utf8("SendInt");
        for (size_t i = 0; i < max_locals.size(); ++i) {
            std::string name = "m"; // piece by piece: g++ 12 -O3 warns (-Wrestrict) on "m" + ...
            name += std::to_string(i);
            c.method(9, c.utf8(name), d,
                     {class_file_builder::code_attribute(code, 1, max_locals[i], {0xB1})});
        }
        c.method(0x0109, native_name, d, {}); // a native takes nothing from the pool
        return c.build();
    };
    local_var_idx = 0;
    auto first = read(class_with({2, 3}));
    auto second = read(class_with({4, 1}));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->methods[0].attributes[0].locals, 0);
    EXPECT_EQ(first->methods[1].attributes[0].locals, 2);
    EXPECT_EQ(second->methods[0].attributes[0].locals, 5);
    EXPECT_EQ(second->methods[1].attributes[0].locals, 9);
    EXPECT_EQ(local_var_idx, 10);
}

TEST(Identifiers, FirstMatchingRowInTableOrder) {
    const std::pair<const char*, u16> cases[] = {
        {"main", JAVA_MAIN_METHOD},
        {"mainLoop", JAVA_MAIN_METHOD},
        {"main2", JAVA_MAIN_METHOD},
        {"<init>", JAVA_INIT_METHOD},
        {"<clinit>", 0},
        {"SetCurrentReduction", NATIVE_SET_CURRENT_REDUCTION},
        {"SetCurrentLimit", NATIVE_SET_CURRENT},
        {"GetCurrentReduction", NATIVE_GET_CURRENT_REDUCTION},
        {"GetCurrentValue", NATIVE_GET_CURRENT},
        {"SetModeX", NATIVE_SET_MODE},
        {"SetDriveMode", NATIVE_SET_DRIVE_MODE},
        {"getMillis", 0},
        {"GetMillis", NATIVE_GET_MILLIS},
        {"GetAccelaration", NATIVE_GET_ACCELERATION},
        {"GetAcceleration", NATIVE_GET_ACCELERATION},
        {"SetMaxSpeed", NATIVE_SET_MAX_SPEED},
        {"SetLEDs", NATIVE_SET_LED},
        {"Set", 0},
        {"ma", 0},
        {"", 0},
    };
    for (auto [name, id] : cases) {
        const method_id_row* row = find_method_id_row(name);
        EXPECT_EQ(row ? row->id : 0, id) << name;
    }
}

TEST(Identifiers, TracedOnlyWithDebug) {
    class_file_builder c;
    u16 d = c.utf8("(I)V");
    c.method(0x0109, c.utf8("SetMaxSpeed"), d, {});
    c.method(0x0109, c.utf8("helper"), d, {});
    auto cf = read(c.build());
    ASSERT_TRUE(cf);
    EXPECT_EQ(captured([&] { convert_class_file(*cf, false, false); }), "");
    EXPECT_EQ(captured([&] { convert_class_file(*cf, true, false); }),
              "convert function _SetMaxSpeed_\n=> SetSpeed gefunden: NATIVE_SET_MAX_SPEED\n"
              "convert function _helper_\n");
    EXPECT_EQ(cf->methods[0].e_method_id, NATIVE_SET_MAX_SPEED);
    EXPECT_EQ(cf->methods[1].e_method_id, 0);
}

TEST(SizeOption, EmptiesSharedNameConstants) {
    class_file_builder c;
    u16 init = c.utf8("<init>");
    u16 v = c.utf8("()V"), iv = c.utf8("(I)V"), code = c.utf8("Code");
    u16 call = c.name_and_type(init, v); // a call elsewhere that uses the same text
    c.method(1, init, v, {class_file_builder::code_attribute(code, 1, 1, {0xB1})});
    c.method(1, init, iv, {class_file_builder::code_attribute(code, 1, 2, {0xB1})});
    auto cf = read(c.build());
    ASSERT_TRUE(cf);
    std::string trace = captured([&] { convert_class_file(*cf, true, true); });
    EXPECT_EQ(trace, "convert function _<init>_\n=> <init> gefunden: JAVA_INIT_METHOD\n"
                     "convert function __\n");
    EXPECT_EQ(cf->methods[0].e_method_id, JAVA_INIT_METHOD);
    EXPECT_EQ(cf->methods[1].e_method_id, 0);
    bytes image = build_class_image(*cf, false);
    const u16 init_at = le16(image, 30 + 2 * (init - 1));
    EXPECT_EQ(bytes(image.begin() + init_at, image.begin() + init_at + 3), (bytes{1, 0, 0}));
    EXPECT_EQ(le16(image, 30 + 2 * (v - 1)), init_at + 3); // everything after shifts
    EXPECT_EQ(le16(image, le16(image, 30 + 2 * (call - 1)) + 1), init);
    // The Code bodies are still written although nothing else changed in them.
    const u16 method0 = le16(image, le16(image, 24));
    const u16 body = le16(image, le16(image, method0 + 10));
    EXPECT_EQ(image[body + 11], 0xB1);
}

TEST(Writer, MethodWithoutAttributesPointsAtWhatFollows) {
    class_file_builder c;
    u16 d = c.utf8("()V"), code = c.utf8("Code");
    c.method(0x0109, c.utf8("SendInt"), d, {});
    c.method(9, c.utf8("main"), d, {class_file_builder::code_attribute(code, 1, 0, {0xB1})});
    auto cf = read(c.build());
    ASSERT_TRUE(cf);
    convert_class_file(*cf, false, false);
    bytes image = build_class_image(*cf, false);
    const u16 table = le16(image, 24);
    const u16 native_record = le16(image, table), main_record = le16(image, table + 2);
    EXPECT_EQ(main_record - native_record, 12);
    EXPECT_EQ(le16(image, native_record + 8), 0);                 // attributes_count
    EXPECT_EQ(le16(image, native_record + 10), main_record + 12); // where main's table begins
    EXPECT_EQ(le16(image, main_record + 10), main_record + 12);
    EXPECT_EQ(le16(image, main_record + 4), JAVA_MAIN_METHOD);
    EXPECT_EQ(le16(image, main_record + 2), c.this_class + 3); // name slot: constant "main" - 1
}

TEST(FileToClassName, KeepsAtMostTwoComponents) {
    const std::pair<const char*, const char*> cases[] = {
        {"Main.class", "Main"},
        {".\\Main.class", "Main"},
        {"./Main.class", "Main"},
        {"out\\pkg\\Main.class", "pkg/Main"},
        {"a\\b\\c\\Main.class", "c/Main"},
        {"D:\\Main.class", "Main"},
        {"classes/Main.class", "classes/Main"},
        {"Main", "Main"},
        {"my.dir/Main.class", "my.dir/Main"},
        {"my.dir/Main", "my"},
        {"../../x/Main.class", "x/Main"},
        {"", ""},
    };
    for (auto [path, name] : cases) EXPECT_EQ(file2class_name(path), name) << path;
}

struct temp_stream {
    std::FILE* file = std::tmpfile();
    ~temp_stream() { std::fclose(file); }
    bytes contents() const {
        std::rewind(file);
        bytes out;
        for (int c; (c = std::fgetc(file)) != EOF;) out.push_back(static_cast<u8>(c));
        return out;
    }
};

TEST(Package, DirectoryOffsetsAndSizeLimit) {
    for (int total : {int{MAX_PACKAGE_SIZE}, int{MAX_PACKAGE_SIZE} + 1}) {
        temp_stream tmp, out;
        // Two images; the second fills the package up to `total`.
        const int first = 200;
        const int header = 6 + (9 + 12) + (9 + 1);
        const int second = total - header - first;
        std::fwrite(bytes(static_cast<size_t>(first + second), 0xAB).data(), 1,
                    static_cast<size_t>(first + second), tmp.file);
        std::vector<classfile_descriptor> list{
            {0, 0, "out.prg"}, {1, first, "classes/Main.class"}, {1, second, "B.class"}};
        int size = 0;
        std::string text =
            captured([&] { size = write_prg_file(list, tmp.file, out.file, false); });
        EXPECT_EQ(size, total == int{MAX_PACKAGE_SIZE} ? total : -1);
        std::string expected = "file: classes/Main.class        200 Bytes\n"
                               "file: B.class        " +
                               std::to_string(second) +
                               " Bytes\n"
                               "overall size:   " +
                               std::to_string(total) + " Bytes\n";
        if (total > int{MAX_PACKAGE_SIZE})
            expected += "ERROR: .prg file is too big: 4097 Bytes / 4096 Bytes max\n";
        EXPECT_EQ(text, expected);
        bytes package = out.contents();
        EXPECT_EQ(package.size(), static_cast<size_t>(total));
        if (package.size() != static_cast<size_t>(total)) continue;
        EXPECT_EQ(le16(package, 4), 2);
        EXPECT_EQ(le16(package, 6 + 2), header); // first image right behind the directory
        EXPECT_EQ(le16(package, 6 + 21 + 2), header + first); // second right behind the first
        EXPECT_EQ(std::string(package.begin() + 14, package.begin() + 26), "classes/Main");
    }
    temp_stream tmp, out;
    std::vector<classfile_descriptor> head_only{{0, 0, "out.prg"}};
    EXPECT_EQ(write_prg_file(head_only, tmp.file, out.file, false), -1);
}

} // namespace
