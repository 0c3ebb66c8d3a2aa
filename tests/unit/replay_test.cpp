// Replays the fuzz corpora and every input a fuzzer ever found (tests/regressions) through
// the fuzz targets' code: nothing may crash (the sanitizer build checks reads), a package
// that fails ends with an "ERROR: " line, a class file that fails says why.
#include <filesystem>
#include <fstream>
#include <iterator>

#include <cstdlib>
#include <random>
#include <set>

#include "check.h"
#include "fuzz_inputs.h"
#include "method_inputs.h"
#include "mirt_proof.h"
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
// same lines (traces and stack dumps included) and leave the same state; so must the
// packages the structure-aware target builds from its seeds.
TEST(Replay, AWholeRunPrintsWhatItsStepsPrint) {
    int compared = 0;
    const auto methods = inputs({"fuzz/corpus/methods", "tests/regressions/methods"});
    std::vector<fs::path> files = inputs({"fuzz/corpus/emulator", "tests/regressions/emulator"});
    files.insert(files.end(), methods.begin(), methods.end());
    for (const fs::path& file : files) {
        bytes data = contents(file);
        if (file.parent_path().filename() == "methods")
            data = fuzz::method_package(data.data(), data.size());
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

// Runs `package` with the unchecked body; adds the fused steps the proof pass selected in
// the methods it proved to `selected`. Whether every method entered was proven.
bool select_fused_steps(const bytes& package, std::set<u16>& selected) {
    reset_vm();
    set_stop_handler(fuzz::stop_by_throwing); // a raw package may loop for ever
    instruction_limit = fuzz::MAX_STEPS;
    hand_over(package, false);
    verified_fast_path = true;
    capture([] {
        try {
            vm_init();
            vm_run();
        } catch (const fuzz::bounded_end&) {
        }
    });
    bool all_hold = true;
    for (const method_proof& proof : proof_store::proofs) {
        if (!proof.used) continue;
        all_hold = all_hold && proof.holds;
        if (!proof.holds) continue;
        for (u32 at = 0; at < proof.length; ++at) {
            const u8 fact = proof_store::facts[proof.facts + at];
            const u16 handler = proof_steps(proof)[at].handler;
            if (fact != proof_store::NOT_REACHED && fact != proof_store::OPERAND_BYTE &&
                handler > FUSED_BEFORE_FIRST)
                selected.insert(handler);
        }
    }
    return all_hold;
}

// The structure-aware target's inputs: the seeds and pseudo-random bytes (a fixed sequence)
// build methods the proof pass accepts, which run alike in single steps, whole and without
// the unchecked body, and select most of the fused steps; raw packages, for comparison,
// select far fewer. MIRT_REACH_METHODS and MIRT_REACH_PACKAGES name further directories (a
// campaign's corpora) to count.
TEST(Replay, GeneratedMethodsAreProvenAndSelectFusedSteps) {
    std::vector<bytes> method_inputs;
    for (const fs::path& file : inputs({"fuzz/corpus/methods", "tests/regressions/methods"}))
        method_inputs.push_back(contents(file));
    ASSERT_FALSE(method_inputs.empty());
    std::mt19937 random(29);
    for (int i = 0; i < 600; ++i) {
        bytes input(8 + random() % 1200);
        for (u8& b : input) b = static_cast<u8>(random());
        method_inputs.push_back(input);
    }
    std::set<u16> selected;
    int refused = 0;
    for (const bytes& input : method_inputs) {
        const bytes built = fuzz::method_package(input.data(), input.size());
        EXPECT_LE(built.size(), MAX_PACKAGE_SIZE);
        refused += !select_fused_steps(built, selected);
        capture([&] { fuzz::run_package_input(built.data(), built.size()); });
    }
    EXPECT_EQ(refused, 0) << "methods the proof pass did not accept";
    std::set<u16> raw;
    for (const fs::path& file : inputs({"fuzz/corpus/emulator"}))
        select_fused_steps(contents(file), raw);
    std::printf("fused steps selected: %zu of %d by the method inputs, %zu by the raw seeds\n",
                selected.size(), FUSED_STEP_COUNT, raw.size());
    for (int k = 0; k < FUSED_STEP_COUNT; ++k)
        if (!selected.contains(fused_patterns[k].step))
            std::printf("  not selected: %s\n", fused_step_names[k]);
    EXPECT_EQ(selected.size(), static_cast<size_t>(FUSED_STEP_COUNT));
    for (const char* variable : {"MIRT_REACH_METHODS", "MIRT_REACH_PACKAGES"}) {
        const char* dir = std::getenv(variable);
        if (!dir) continue;
        std::set<u16> reached;
        int files = 0;
        for (const auto& entry : fs::directory_iterator(dir)) {
            const bytes data = contents(entry.path());
            select_fused_steps(variable[11] == 'M' ? fuzz::method_package(data.data(), data.size())
                                                   : data,
                               reached);
            ++files;
        }
        std::printf("%s: %d inputs select %zu fused steps\n", dir, files, reached.size());
    }
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
