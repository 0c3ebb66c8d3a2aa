// Runs the built mirt_linker as a user does: command line, messages, exit status and the
// bytes of the package it writes.
#include <gtest/gtest.h>

#include <algorithm>
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
    EXPECT_EQ(empty.output,
              VERSION + "writing output to file: empty.prg\nERROR: no class file to link\n");
    EXPECT_FALSE(fs::exists(dir() / "empty.prg"));

    process_result missing = link("Good.class Missing.class Never.class partial.prg");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, VERSION + "writing output to file: partial.prg\n"
                                        "loading file: Good.class\nloading file: Missing.class\n"
                                        "file not readable\n"
                                        "error reading class file: Missing.class\n");
    EXPECT_FALSE(fs::exists(dir() / "partial.prg")); // a failed link leaves no package
    EXPECT_EQ(read_file("linker.tmp").size(), 104u); // Good's image and trailer

    process_result truncated = link("Cut.class cut.prg");
    EXPECT_EQ(truncated.status, 1);
    EXPECT_NE(truncated.output.find("class file ends early: "), std::string::npos);
    EXPECT_TRUE(truncated.output.ends_with("error reading class file: Cut.class\n"));

    // Options are matched exactly; one that is no option is refused before any file is
    // touched.
    process_result lower_case = link("-os Good.class os.prg");
    EXPECT_EQ(lower_case.status, 1);
    EXPECT_EQ(lower_case.output,
              VERSION + "unknown option: -os\n" + usage.output.substr(VERSION.size()));

    fs::create_directories(dir() / "a_directory");
    process_result unwritable = link("Good.class a_directory");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.output.find("file not writable\nERROR: a_directory is a directory"),
              std::string::npos);
}

// What a user can hand the three programs instead of what they expect: each row sets up its
// files, runs one command line in its own directory, and names the status, a line the
// output must hold, and which files must be there afterwards, with what bytes.
struct file_case {
    const char* name;
    const char* command; // run in the case's own directory; $L, $E, $C: the three programs
    int status;
    const char* line;                // held by standard output
    std::vector<const char*> absent; // files that must not be there afterwards
    bool good_class_unchanged = true;
};

TEST(Linker, FilesAreNeverLostOrHarmed) {
    const bytes good = class_with_main("Good");
    const bytes stale = {'o', 'l', 'd'};
    const std::vector<file_case> cases = {
        {"directory_input",
         "mkdir d && $L d out.prg",
         1,
         "file not readable: d is a directory",
         {"out.prg"}},
        {"fifo_input",
         "mkfifo f && $L f out.prg",
         1,
         "file not readable: f is a FIFO",
         {"out.prg"}},
        {"device_input", "$L /dev/zero out.prg", 1, "/dev/zero is a character device", {"out.prg"}},
        {"device_output",
         "$L Good.class /dev/full",
         1,
         "a package is written only to a regular file",
         {}},
        {"stdout_full", "$L Good.class out.prg >/dev/full; s=$?; echo; exit $s", 1, "", {}},
        {"same_file",
         "cp stale.prg same.prg && $L same.prg ./same.prg",
         1,
         "is the same file as the input",
         {}},
        {"class_file_output", "$L Good.class Good.class", 1, "Good.class is a class file", {}},
        {"read_only_tmp",
         "touch linker.tmp && chmod 444 linker.tmp && $L Good.class stale.prg",
         1,
         "tmp file not writable",
         {}},
        {"directory_tmp",
         "mkdir linker.tmp && $L Good.class stale.prg",
         1,
         "tmp file not writable",
         {}},
        {"failed_link_removes_stale",
         "$L Missing.class stale.prg",
         1,
         "error reading class file",
         {"stale.prg"}},
        {"linker_unknown_option",
         "$L -x Good.class out.prg",
         1,
         "Usage:",
         {"out.prg", "linker.tmp"}},
        {"linker_help", "$L --help", 0, "Usage:", {"linker.tmp"}},
        {"emulator_help", "$E -h", 0, "Usage:", {}},
        {"emulator_unknown_option", "$E -x", 1, "unknown option: -x", {}},
        {"emulator_directory", "mkdir d && $E d", 255, "Datei nicht lesbar", {}},
        {"emulator_fifo", "mkfifo f && $E f", 255, "Datei nicht lesbar", {}},
        {"emulator_stdout_full",
         "$L Good.class g.prg >/dev/null && $E g.prg >/dev/full; s=$?; echo; exit $s",
         255,
         "",
         {}},
        {"check_help", "$C --help", 0, "Usage:", {}},
        {"check_unknown_option", "$C -x g.prg", 2, "unknown option: -x", {}},
        {"check_fifo", "mkfifo f && $C f", 2, "f: cannot be read (a FIFO)", {}},
        {"check_stdout_full",
         "$L Good.class g.prg >/dev/null && $C g.prg >/dev/full; s=$?; echo; exit $s",
         1,
         "",
         {}},
        // A directory that counts no class still runs its first entry in the emulator.
        {"check_count_zero",
         "$L Good.class g.prg >/dev/null && printf '\\0\\0' | dd of=g.prg bs=1 seek=4 conv=notrunc "
         "2>/dev/null && $C g.prg",
         0,
         "package: warning: the directory counts no class",
         {}},
    };
    for (const file_case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path case_dir = dir() / "files" / c.name;
        fs::create_directories(case_dir);
        write(std::string("files/") + c.name + "/Good.class", good);
        write(std::string("files/") + c.name + "/stale.prg", stale);
        std::string command = c.command;
        for (const auto& [key, program] :
             {std::pair{"$L", MIRT_LINKER}, {"$E", MIRT_EMULATOR}, {"$C", MIRT_CHECK}})
            for (size_t at; (at = command.find(key)) != std::string::npos;)
                command.replace(at, 2, std::string("'") + program + "'");
        process_result r = run_in_scratch("cd", std::string("files/") + c.name + " && " + command);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.output.find(c.line), std::string::npos) << r.output;
        for (const char* name : c.absent) EXPECT_FALSE(fs::exists(case_dir / name)) << name;
        EXPECT_EQ(read_file(std::string("files/") + c.name + "/Good.class"), good);
        const bool stale_removed = std::find(c.absent.begin(), c.absent.end(),
                                             std::string_view("stale.prg")) != c.absent.end();
        if (!stale_removed) {
            EXPECT_EQ(read_file(std::string("files/") + c.name + "/stale.prg"), stale);
        }
    }
}

// Links running at once in one directory each write what a single run writes.
TEST(Linker, LinksAtOnceInOneDirectoryDoNotMix) {
    write("Solo.class", class_with_main("Solo"));
    write("P.class", class_with_main("P"));
    write("Q.class", class_with_main("Q"));
    ASSERT_EQ(link("Solo.class solo_ref.prg").status, 0);
    ASSERT_EQ(link("P.class Q.class pq_ref.prg").status, 0);
    const bytes solo = read_file("solo_ref.prg"), pq = read_file("pq_ref.prg");
    process_result r = run_in_scratch(
        "true",
        "; for i in $(seq 100); do '" MIRT_LINKER "' Solo.class solo.prg >/dev/null & '" MIRT_LINKER
        "' P.class Q.class pq.prg >/dev/null & wait; cmp -s solo.prg solo_ref.prg && "
        "cmp -s pq.prg pq_ref.prg || { echo differ $i; exit 1; }; done");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(read_file("solo.prg"), solo);
    EXPECT_EQ(read_file("pq.prg"), pq);
    const bytes tmp = read_file("linker.tmp");
    EXPECT_TRUE(tmp == bytes(solo.begin() + 19, solo.end()) ||
                tmp == bytes(pq.begin() + 26, pq.end()));
}

} // namespace
