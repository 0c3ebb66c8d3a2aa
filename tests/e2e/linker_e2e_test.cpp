// Runs the built mirt_linker as a user does: command line, messages, exit status and the
// bytes of the package it writes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "class_file_builder.h"

using testing_support::class_file_builder;
namespace fs = std::filesystem;
using bytes = std::vector<u8>;

namespace {

fs::path dir() {
    static const fs::path d = [] {
        fs::path p = fs::temp_directory_path() / ("mirt_link_e2e_" + std::to_string(::getpid()));
        fs::create_directories(p);
        return p;
    }();
    return d;
}

void write(const std::string& name, const bytes& content) {
    std::ofstream(dir() / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<long>(content.size()));
}

bytes read_file(const std::string& name) {
    std::ifstream in(dir() / name, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct link_result {
    std::string output;
    int status;
};

link_result link(const std::string& arguments) {
    std::string command = "cd '" + dir().string() + "' && '" MIRT_LINKER "' " + arguments;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    int status = ::pclose(pipe);
    return {output, WEXITSTATUS(status)};
}

bytes class_with_main(const std::string& class_name) {
    class_file_builder c;
    u16 t = c.utf8(class_name);
    c.this_class = c.class_constant(t);
    u16 main_name = c.utf8("main");
    u16 descriptor = c.utf8("()V");
    u16 code = c.utf8("Code");
    c.method(0x0009, main_name, descriptor,
             {class_file_builder::code_attribute(code, 0, 0, {0xB1})});
    return c.build();
}

const std::string VERSION = "mirt linker version: 5\n";

TEST(Linker, WorkedExampleIsByteExact) {
    write("T.class", class_with_main("T"));
    link_result r = link("T.class T.prg");
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
    link_result r = link("A.class -OS -debug B.class AB.prg");
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

    link_result usage = link("only.prg");
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.output,
              VERSION + "Usage:\n\n\tmirt_linker.exe [-debug] [-OS] input.class output.prg\n");

    link_result empty = link("-debug empty.prg");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.output, VERSION + "writing output to file: empty.prg\n");
    EXPECT_FALSE(fs::exists(dir() / "empty.prg"));

    link_result missing = link("Good.class Missing.class Never.class partial.prg");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, VERSION + "writing output to file: partial.prg\n"
                                        "loading file: Good.class\nloading file: Missing.class\n"
                                        "file not readable\n"
                                        "error reading class file: Missing.class\n");
    EXPECT_EQ(read_file("partial.prg").size(), 0u);  // left empty
    EXPECT_EQ(read_file("linker.tmp").size(), 104u); // Good's image and trailer

    link_result truncated = link("Cut.class cut.prg");
    EXPECT_EQ(truncated.status, 1);
    EXPECT_NE(truncated.output.find("class file ends early: "), std::string::npos);
    EXPECT_TRUE(truncated.output.ends_with("error reading class file: Cut.class\n"));

    link_result lower_case = link("-os Good.class os.prg");
    EXPECT_EQ(lower_case.status, 1);
    EXPECT_NE(lower_case.output.find("loading file: -os\nfile not readable\n"), std::string::npos);

    fs::create_directories(dir() / "a_directory");
    link_result unwritable = link("Good.class a_directory");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.output.find("file not writable\nloading file: Good.class\n"),
              std::string::npos);
}

} // namespace
