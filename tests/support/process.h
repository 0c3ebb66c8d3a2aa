// Runs a built program in a scratch directory of this test process, as a user would.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mirt_types.h"

namespace testing_support {

inline std::filesystem::path scratch_dir() {
    static const std::filesystem::path dir = [] {
        auto d =
            std::filesystem::temp_directory_path() / ("mirt_e2e_" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

inline void write_scratch_file(const std::string& name, const std::vector<u8>& content) {
    std::ofstream(scratch_dir() / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
}

inline std::vector<u8> read_scratch_file(const std::string& name) {
    std::ifstream in(scratch_dir() / name, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct process_result {
    std::string output; // standard output
    int status;
};

// Runs `program arguments` inside the scratch directory.
inline process_result run_in_scratch(const std::string& program, const std::string& arguments) {
    const std::string command =
        "cd '" + scratch_dir().string() + "' && '" + program + "' " + arguments;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    const int status = ::pclose(pipe);
    return {output, WEXITSTATUS(status)};
}

} // namespace testing_support
