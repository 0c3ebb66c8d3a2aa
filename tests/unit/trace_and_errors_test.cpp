// The fixed texts: error and warning messages, opcode lines and value dumps.
#include <cmath>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include <limits>

#include "drive_script.h"
#include "mirt_method_ids.h"
#include "mirt_trace.h"
#include "vm_harness.h"

using namespace testing_support;

namespace {

struct error_case {
    int id;
    s64 detail;
    const char* expected;
};

class ErrorTable : public ::testing::TestWithParam<error_case> {};

TEST_P(ErrorTable, PrintsItsMessageAndEndsWith255) {
    reset_vm();
    const error_case& c = GetParam();
    run_result r = capture([&] { error(c.id, c.detail); });
    EXPECT_EQ(r.output, c.expected);
    EXPECT_EQ(r.status, 255);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ErrorTable,
    ::testing::Values(
        error_case{1, 3, "ERROR: 3 verweist auch keine native Funktion!\n"},
        error_case{2, 0, "ERROR: Function parameter has unknown type!"}, // no newline
        error_case{3, 7, "ERROR: Funktion 7 nicht gefunden!\n"},
        error_case{4, 3, "ERROR: expected long or double but got 3\n"},
        error_case{5, 187, "ERROR: unknown opcode: 187 (0xbb)opcode: 0xbb (187) new \n"},
        error_case{5, 0xba, "ERROR: unknown opcode: 186 (0xba)opcode: 0xba (186) xxxunusedxxx1 \n"},
        error_case{5, 0xff,
                   "ERROR: unknown opcode: 255 (0xff)opcode: 0xff (255) unkonwn opcode \n"},
        error_case{5, 0x19, "ERROR: unknown opcode: 25 (0x19)opcode: 0x19 (25) aload \n"},
        error_case{5, 0x01, "ERROR: unknown opcode: 1 (0x 1)opcode: 0x01 (1) aconst_null \n"},
        error_case{6, 0, "ERROR: there are only 4 int params / 2 long params allowed\n"},
        error_case{7, 0, "ERROR: file doesn't contain a main method!\n"},
        error_case{8, 6, "ERROR: out of range in constant pool 6\n"},
        error_case{9, 25, "ERROR: local var out of range: 25\n"},
        error_case{10, 25, "ERROR: not an var idx: 25\n"},
        error_case{11, 8, "ERROR: local var is not an TYPE_INT: 8\n"},
        error_case{12, 0, "ERROR: stack overflow!\n"},
        error_case{13, 0, "ERROR: stack underflow!\n"},
        error_case{14, 0, "ERROR: headp overflow!\n"},
        error_case{15, 0, "ERROR: heap underflow!\n"}, error_case{16, 0, "ERROR: frame overlow!\n"},
        error_case{17, 4, "ERROR: unknown data type: 4\n"},
        error_case{18, 21, "ERROR: overflow of local variables: 21 \n"},
        error_case{0, 0, "ERROR: general error\n"}, error_case{19, 0, "ERROR: general error\n"},
        error_case{1000, 0, "ERROR: general error\n"},
        error_case{1001, 0, "ERROR: general error\n"},
        error_case{65536 + 12, 0, "ERROR: stack overflow!\n"}), // taken modulo 65536
    [](const ::testing::TestParamInfo<error_case>& info) {
        return "error_" + std::to_string(info.param.id) + "_detail_" +
               std::to_string(info.param.detail);
    });

TEST(Warnings, PrintAndReturn) {
    EXPECT_EQ(capture([] { warning(1); }).output, "WARNING: Function not supported!\n");
    run_result other = capture([] { warning(2); });
    EXPECT_EQ(other.output, "WARNING: general warning\n");
    EXPECT_EQ(other.status, 0);
}

TEST(OpcodeLine, NamesEveryOpcodeUpToBreakpoint) {
    EXPECT_EQ(capture([] { print_opcode(0x60); }).output, "opcode: 0x60 (96) iadd ");
    EXPECT_EQ(capture([] { print_opcode(0xca); }).output, "opcode: 0xca (202) breakpoint ");
    EXPECT_EQ(capture([] { print_opcode(0xc9); }).output, "opcode: 0xc9 (201) jsr_w ");
    EXPECT_EQ(capture([] { print_opcode(0xcb); }).output, "opcode: 0xcb (203) unkonwn opcode ");
    EXPECT_EQ(capture([] { print_opcode(0xb8); }).output, "opcode: 0xb8 (184) invokestatic ");
    EXPECT_EQ(capture([] { print_opcode(0x84); }).output, "opcode: 0x84 (132) iinc ");
    EXPECT_EQ(capture([] { print_opcode(0x00); }).output, "opcode: 0x00 (0) nop ");
}

variable make(u8 type, u64 bits) {
    variable v;
    v.type = type;
    v.value.U64 = bits;
    return v;
}
variable make_float(float f) {
    variable v = make(TYPE_FLOAT, 0);
    v.value.F = f;
    return v;
}
variable make_double(double d) {
    variable v = make(TYPE_DOUBLE, 0);
    v.value.D = d;
    return v;
}

struct dump_case {
    variable value;
    const char* expected;
};

TEST(DumpVar, ShowsEachTagThroughItsMember) {
    const dump_case cases[] = {
        {make(TYPE_VOID, 0), " void "},
        {make(TYPE_REF, 0x1FF), " ref: 255 "},
        {make(TYPE_RET, 0x1FFFF), " ret: 65535 "},
        {make(TYPE_BOOL, 1), " bool: 1 "},
        {make(TYPE_CHAR, 65 + 256), " char: A "},
        {make_float(1.5f), " float: 1.500000 "},
        {make_double(-0.25), " double: -0.250000 "},
        {make(TYPE_BYTE, 0xFFFFFFFF), " byte: 255 "}, // an int -1 retagged as byte
        {make(TYPE_BYTE, 300), " byte: 44 "},         // i2b of 300
        {make(TYPE_SHORT, 70000), " short: 4464 "},   // i2s of 70000
        {make(TYPE_SHORT, 0xFFFF), " short: -1 "},
        {make(TYPE_INT, 0xFFFFFFFF), " int: -1 "},
        {make(TYPE_LONG, (1ull << 32) + 5), " long: 5 "}, // low 32 bits only
        {make(0, 0), " NULL "},
        {make(12, 0), " NULL "},
        {make(255, 0), " NULL "},
    };
    for (const dump_case& c : cases)
        EXPECT_EQ(capture([&] { dump_var(c.value); }).output, c.expected) << int(c.value.type);
}

TEST(DumpStack, ListsEntriesFromTheTop) {
    reset_vm();
    EXPECT_EQ(capture([] { dump_stack(); }).output, "\t\tStack: (0)\n");
    push_stack(make(TYPE_INT, 2));
    push_stack(make(TYPE_INT, 1));
    EXPECT_EQ(capture([] { dump_stack(); }).output, "\t\tStack: (2) int: 1 \t int: 2 \t\n");
}

TEST(GetType, MapsDescriptorCharacters) {
    const std::pair<char, int> cases[] = {
        {'(', 12}, {')', 13}, {'B', 8},  {'C', 5},
        {'D', 7},  {'F', 6},  {'I', 10}, {'J', 11},
        {'L', 2},  {'S', 9},  {'Z', 4},  {'V', -1},
        {'[', -1}, {';', -1}, {'A', -1}, {static_cast<char>(0xC3), -1}};
    for (auto [c, tag] : cases) EXPECT_EQ(get_type(c), tag) << c;
}

} // namespace

namespace {

// The README's words for what the emulator does with a row's calls and what they give back.
std::string emulator_columns(const method_id_row& row) {
    std::string columns;
    switch (row.emulation) {
    case drive_emulation::none:
        return "not emulated: reported, arguments taken | zero of the declared type |";
    case drive_emulation::clock:
        return "advances the emulated clock by 100 ms, prints nothing | the clock |";
    case drive_emulation::show_value:
        columns = "prints `DRIVE: ";
        columns += row.drive_text;
        columns +=
            row.shape == drive_shape::long_argument ? ": <low 32 bits>` | - |" : ": <value>` | - |";
        return columns;
    case drive_emulation::read_input:
        columns = "prints `DRIVE: ";
        columns += row.drive_text;
        columns += "` | 1 |";
        return columns;
    }
    return columns;
}

// The README's reference of the drive functions says what the identifier table says.
TEST(DriveFunctions, TheReadmeTableIsTheCodesTable) {
    std::ifstream readme(MIRT_SOURCE_DIR "/README.md");
    std::string line;
    std::vector<std::string> documented;
    bool in_section = false;
    while (std::getline(readme, line)) {
        if (line.starts_with("### ")) in_section = line == "### Drive functions";
        if (in_section && line.starts_with("| `")) documented.push_back(line);
    }
    std::vector<std::string> expected;
    for (const method_id_row& row : method_id_table) {
        if (row.id == JAVA_INIT_METHOD || row.id == JAVA_MAIN_METHOD) continue;
        std::string keys;
        // Appended piece by piece: g++ 12 warns (-Wrestrict) on literal + string chains here.
        for (std::string_view key : row.keys) {
            if (key.empty()) continue;
            keys += keys.empty() ? "`" : ", `";
            keys += key;
            keys += '`';
        }
        const std::string_view signature = drive_signature(row.shape);
        std::string row_text = "| ";
        row_text += keys;
        row_text += " | ";
        row_text += std::to_string(row.id);
        row_text += " | ";
        if (signature.empty()) {
            row_text += "default row";
        } else {
            row_text += '`';
            row_text += signature;
            row_text += '`';
        }
        row_text += " | ";
        row_text += emulator_columns(row);
        expected.push_back(row_text);
    }
    EXPECT_EQ(documented.size(), expected.size());
    for (size_t i = 0; i < documented.size() && i < expected.size(); ++i)
        EXPECT_EQ(documented[i], expected[i]);
}

// One method of a Java stand-in class Drive: its name, its descriptor, the text its println
// prints (empty: none) and whether a value is appended to it, whether it returns 1.
struct stand_in {
    std::string name, descriptor, printed;
    bool appends_value, returns_one;
};

std::vector<stand_in> stand_ins(const char* path) {
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::regex header(R"(static (?:native )?(int|long|void) (\w+)\(([^)]*)\))");
    const std::regex println(R"re(System\.out\.println\("([^"]*)"( \+)?)re");
    const auto letter = [](const std::string& type) {
        return type == "long" ? 'J' : type == "int" ? 'I' : 'V';
    };
    std::vector<stand_in> methods;
    std::vector<size_t> body_begins;
    for (auto m = std::sregex_iterator(text.begin(), text.end(), header);
         m != std::sregex_iterator(); ++m) {
        stand_in method{(*m)[2], "(", "", false, false};
        std::istringstream parameters((*m)[3]);
        std::string type, name;
        while (parameters >> type >> name) method.descriptor += letter(type);
        method.descriptor += ')';
        method.descriptor += letter((*m)[1]);
        methods.push_back(method);
        body_begins.push_back(static_cast<size_t>(m->position() + m->length()));
    }
    for (size_t i = 0; i < methods.size(); ++i) {
        const size_t end = i + 1 < methods.size() ? body_begins[i + 1] : text.size();
        const std::string body = text.substr(body_begins[i], end - body_begins[i]);
        std::smatch printed;
        if (std::regex_search(body, printed, println)) {
            methods[i].printed = printed[1];
            methods[i].appends_value = printed[2].matched;
        }
        methods[i].returns_one = body.find("return 1;") < body.find("static ");
    }
    return methods;
}

// The Java stand-ins the JVM comparison runs against declare the drive functions as the
// table does, and print and give what the emulator prints and gives.
TEST(DriveFunctions, TheJavaStandInsAreTheCodesTable) {
    const std::vector<stand_in> jvm = stand_ins(MIRT_SOURCE_DIR "/tests/java/drive/jvm/Drive.java");
    const std::vector<stand_in> vm = stand_ins(MIRT_SOURCE_DIR "/tests/java/drive/vm/Drive.java");
    ASSERT_FALSE(jvm.empty());
    ASSERT_EQ(vm.size(), jvm.size());
    std::set<u16> stood_in;
    for (size_t i = 0; i < jvm.size(); ++i) {
        const stand_in& java = jvm[i];
        SCOPED_TRACE(java.name);
        EXPECT_EQ(vm[i].name, java.name);
        EXPECT_EQ(vm[i].descriptor, java.descriptor);
        const method_id_row* row = find_method_id_row(java.name);
        ASSERT_TRUE(row && row->java_name() == java.name);
        stood_in.insert(row->id);
        if (!row->emulated()) {
            EXPECT_EQ(java.printed, "");
            continue;
        }
        EXPECT_EQ(java.descriptor, drive_signature(row->shape));
        reset_vm();
        drive_script::clear();
        s32 given = 0;
        const run_result r = capture([&] { given = emulate_drive_function(*row, 5); });
        std::string java_prints;
        if (!java.printed.empty()) java_prints = java.printed + (java.appends_value ? "5\n" : "\n");
        EXPECT_EQ(r.output, java_prints);
        if (row->emulation == drive_emulation::read_input) {
            EXPECT_TRUE(java.returns_one);
            EXPECT_EQ(given, 1);
        }
    }
    reset_vm();
    for (const method_id_row& row : method_id_table)
        if (row.emulated()) {
            EXPECT_TRUE(stood_in.count(row.id)) << row.java_name() << " has no stand-in";
        }
}

} // namespace
