// Replays the fuzz corpora and every input a fuzzer ever found (tests/regressions) through
// the fuzz targets' code: nothing may crash (the sanitizer build checks reads), a package
// that fails ends with an "ERROR: " line, a class file that fails says why.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "check.h"
#include "fuzz_inputs.h"
#include "vm_harness.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> inputs(const std::vector<std::string>& dirs) {
    std::vector<fs::path> files;
    for (const std::string& dir : dirs) {
        if (!fs::exists(fs::path(MIRT_SOURCE_DIR) / dir)) continue; // no finding yet
        for (const auto& entry : fs::directory_iterator(fs::path(MIRT_SOURCE_DIR) / dir))
            if (entry.is_regular_file()) files.push_back(entry.path());
    }
    return files;
}

bytes contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Replay, PackagesEndCleanlyOrWithAnErrorLine) {
    const auto files = inputs({"fuzz/corpus/emulator", "tests/regressions/emulator"});
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        const bytes data = contents(file);
        fuzz::outcome result{};
        run_result r = capture([&] { result = fuzz::run_package_input(data.data(), data.size()); });
        if (result == fuzz::outcome::fatal) {
            EXPECT_TRUE(last_line(r.output).starts_with("ERROR: ")) << file << r.output;
        }
        EXPECT_NE(result, fuzz::outcome::too_large) << file; // all fit the load buffer
        // The check reads the same bytes; where the VM stops, it reports an error too.
        const check_report report = check_package(data, true);
        if (result == fuzz::outcome::fatal) {
            EXPECT_TRUE(report.errors > 0 || !report.is_package) << file << report.text;
        }
    }
}

// The run loop keeps pc and the operand stack's top in registers across instructions; a
// single step loads and stores them around one instruction, and always runs the checked
// body. A whole run, with and without the unchecked body for proven methods, must print the
// same lines (traces and stack dumps included) and leave the same state.
TEST(Replay, AWholeRunPrintsWhatItsStepsPrint) {
    int compared = 0;
    for (const fs::path& file : inputs({"fuzz/corpus/emulator", "tests/regressions/emulator"})) {
        const bytes data = contents(file);
        for (bool traced : {false, true}) {
            bytes input = data;
            // the size chooses the trace: padding bytes after the image set it
            while (fuzz::traced_input(input.size()) != traced) input.push_back(0);
            if (input.size() > MAX_PACKAGE_SIZE) continue;
            fuzz::end_state stepped, whole;
            const run_result steps = capture([&] {
                stepped = fuzz::run_package(input.data(), input.size(), fuzz::run_mode::steps);
            });
            if (stepped.result == fuzz::outcome::not_a_class_image) continue;
            for (fuzz::run_mode mode : {fuzz::run_mode::whole, fuzz::run_mode::whole_checked}) {
                const run_result run =
                    capture([&] { whole = fuzz::run_package(input.data(), input.size(), mode); });
                EXPECT_EQ(run.output, steps.output) << file << (traced ? " traced" : "");
                EXPECT_TRUE(whole == stepped) << file << (traced ? " traced" : "");
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 10);
}

TEST(Replay, ClassFilesAreReadOrRefusedWithAReason) {
    const auto files = inputs({"fuzz/corpus/linker", "tests/regressions/linker"});
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        const bytes data = contents(file);
        bool accepted = false;
        ::testing::internal::CaptureStdout();
        accepted = fuzz::run_class_input(data.data(), data.size());
        const std::string out = ::testing::internal::GetCapturedStdout();
        if (!accepted) {
            EXPECT_FALSE(out.empty()) << file;
        }
        if (file.parent_path().filename() == "linker" &&
            file.parent_path().parent_path().filename() == "corpus") {
            EXPECT_TRUE(accepted) << file << out; // the corpus is javac's output
        }
    }
}

// The text readers' seeds are files as users write them (and the linker writes maps): all are
// read; the readers' own checks abort on anything else.
TEST(Replay, TextFilesAreRead) {
    const struct {
        const char* reader;
        bool (*read)(const u8*, size_t);
    } readers[] = {
        {"stimulus", fuzz::run_stimulus_input},
        {"map", fuzz::run_map_input},
        {"expect",
         [](const u8* data, size_t size) { return fuzz::run_expect_input(data, size) > 0; }},
    };
    for (const auto& r : readers) {
        const std::string seeds = std::string("fuzz/corpus/") + r.reader;
        const auto files = inputs({seeds, std::string("tests/regressions/") + r.reader});
        ASSERT_FALSE(files.empty()) << r.reader;
        for (const fs::path& file : files) {
            const bytes data = contents(file);
            const bool read = r.read(data.data(), data.size());
            if (file.parent_path().filename() == r.reader &&
                file.parent_path().parent_path().filename() == "corpus") {
                EXPECT_TRUE(read) << file;
            }
        }
    }
}

} // namespace
