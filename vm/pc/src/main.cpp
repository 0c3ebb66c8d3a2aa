// mirt_linker [-debug] [-OS] input.class ... output.prg: links class files into a package.
// Options act on the class files after them. Exit status 0 only when the package was
// written.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "classloader.h"
#include "file_converter.h"
#include "file_writer.h"

namespace {
constexpr int LINKER_VERSION = 5;
constexpr const char* TMP_FILE_NAME = "linker.tmp";
} // namespace

int main(int cnt, char** params) {
    std::printf("mirt linker version: %d\n", LINKER_VERSION);
    if (cnt < 3) {
        std::printf("Usage:\n\n\tmirt_linker.exe [-debug] [-OS] input.class output.prg\n");
        return 1;
    }
    bool is_debug = false;
    bool optimize_size = false;
    bool failed = false;
    const char* output_path = params[cnt - 1];
    std::vector<classfile_descriptor> classfile_list{{0, 0, output_path}};
    std::vector<std::unique_ptr<ClassFile>> classes; // kept until the linker exits

    std::printf("writing output to file: %s\n", output_path);
    std::FILE* output = std::fopen(output_path, "w+b");
    if (!output) {
        std::printf("file not writable\n");
        failed = true;
    }
    std::FILE* tmpfile = std::fopen(TMP_FILE_NAME, "w+b");
    if (!tmpfile) {
        std::printf("tmp file not writable\n");
        failed = true;
    }

    for (int i = 1; i < cnt - 1; ++i) {
        const char* argument = params[i];
        if (std::strcmp(argument, "-debug") == 0) {
            is_debug = true;
            continue;
        }
        if (std::strcmp(argument, "-OS") == 0) {
            optimize_size = true;
            continue;
        }
        std::unique_ptr<ClassFile> cf = read_class_file(argument, is_debug);
        if (!cf) {
            std::printf("error reading class file: %s\n", argument);
            failed = true;
            break;
        }
        convert_class_file(*cf, is_debug, optimize_size);
        // Without the temporary file the classes are still read and checked, but nothing
        // is written anywhere.
        if (tmpfile) {
            int classsize = write_tmp_file(*cf, tmpfile, is_debug);
            if (classsize < 0) {
                failed = true;
                break;
            }
            if (classsize > 0) classfile_list.push_back({1, classsize, argument});
        }
        classes.push_back(std::move(cf));
    }

    if (!failed) {
        if (write_prg_file(classfile_list, tmpfile, output, is_debug) == -1) {
            std::fclose(output);
            output = nullptr;
            std::remove(output_path);
            failed = true;
        }
    }
    if (tmpfile) std::fclose(tmpfile);
    if (output) std::fclose(output);
    return failed ? 1 : 0;
}
