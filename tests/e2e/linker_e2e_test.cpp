// Runs the built mirt_linker as a user does: command line, messages, exit status and the
// bytes of the package it writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "class_file_builder.h"
#include "process.h"

using namespace testing_support;
namespace fs = std::filesystem;
using bytes = std::vector<u8>;

namespace {

void write(const std::string& name, const bytes& content) { write_scratch_file(name, content); }
bytes read_file(const std::string& name) { return read_scratch_file(name); }
fs::path dir() { return scratch_dir(); }

process_result link(const std::string& arguments) { return run_in_scratch(MIRT_LINKER, arguments); }

bytes class_with_main(const std::string& name) { return class_file_builder::with_main(name); }

const std::string VERSION = "mirt linker version: 5\n";

TEST(Linker, WorkedExampleIsByteExact) {
    write("T.class", class_with_main("T"));
    process_result r = link("T.class T.prg");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, VERSION + "writing output to file: T.prg\nloading file: T.class\n"
                                  "file: T.class        101 Bytes\noverall size:   117 Bytes\n");
    const bytes expected_start = {0x02, 0xFE, 0xAF, 0xEC, 0x01, 0x00, 0x01, 0x00, 0x10,
                                  0x00, 0x00, 0x00, 0x01, 0x00, 0x54, 0x00, 0x01, 0xFE};
    bytes package = read_file("T.prg");
    ASSERT_EQ(package.size(), 117u);
    EXPECT_EQ(bytes(package.begin(), package.begin() + 18), expected_start);
    EXPECT_EQ(bytes(package.end() - 5, package.end()), (bytes{0xB1, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(read_file("linker.tmp"), bytes(package.begin() + 16, package.end()));
}

TEST(Linker, SizeOptionActsOnTheClassesAfterIt) {
    write("A.class", class_with_main("A"));
    write("B.class", class_with_main("B"));
    process_result r = link("A.class -OS -debug B.class AB.prg");
    EXPECT_EQ(r.status, 0);
    // Only B is traced, and only B's method name is emptied (4 bytes shorter).
    EXPECT_EQ(r.output.find("loading file: A.class\nloading file: B.class\n"), VERSION.size() + 31);
    EXPECT_NE(r.output.find("convert function _main_\n=> main gefunden: JAVA_MAIN_METHOD\n"),
              std::string::npos);
    EXPECT_NE(r.output.find("file: A.class        101 Bytes\nfile: B.class        97 Bytes\n"),
              std::string::npos);
    EXPECT_EQ(read_file("AB.prg").size(), 6u + 10 + 10 + 101 + 97);
}

TEST(Linker, FailuresWriteNoPackageAndEndWithStatusOne) {
    write("Good.class", class_with_main("Good"));
    bytes cut = class_with_main("Cut");
    cut.resize(cut.size() - 7);
    write("Cut.class", cut);

    process_result usage = link("only.prg");
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.output,
              VERSION + "Usage:\n\n\tmirt_linker.exe [-debug] [-OS] input.class output.prg\n");

    process_result empty = link("-debug empty.prg");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.output, VERSION + "writing output to file: empty.prg\n");
    EXPECT_FALSE(fs::exists(dir() / "empty.prg"));

    process_result missing = link("Good.class Missing.class Never.class partial.prg");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, VERSION + "writing output to file: partial.prg\n"
                                        "loading file: Good.class\nloading file: Missing.class\n"
                                        "file not readable\n"
                                        "error reading class file: Missing.class\n");
    EXPECT_EQ(read_file("partial.prg").size(), 0u);  // left empty
    EXPECT_EQ(read_file("linker.tmp").size(), 104u); // Good's image and trailer

    process_result truncated = link("Cut.class cut.prg");
    EXPECT_EQ(truncated.status, 1);
    EXPECT_NE(truncated.output.find("class file ends early: "), std::string::npos);
    EXPECT_TRUE(truncated.output.ends_with("error reading class file: Cut.class\n"));

    process_result lower_case = link("-os Good.class os.prg");
    EXPECT_EQ(lower_case.status, 1);
    EXPECT_NE(lower_case.output.find("loading file: -os\nfile not readable\n"), std::string::npos);

    fs::create_directories(dir() / "a_directory");
    process_result unwritable = link("Good.class a_directory");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.output.find("file not writable\nloading file: Good.class\n"),
              std::string::npos);
}

} // namespace
