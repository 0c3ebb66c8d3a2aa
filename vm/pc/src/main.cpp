// mirt_linker [-debug] [-OS] [-map FILE [-map-locals]] input.class ... output.prg: links class
// files into a package. -debug and -OS act on the class files after them; -map writes the package's
// map. Exit status 0 only when the package was written.
//
// Files: the package is written beside the output path and renamed over it only when it is
// complete, so an output path holds a whole package or none; the images of this run are
// collected in a temporary file of the run's own and replace linker.tmp in one step at the
// end, so links running at once in one directory do not mix their images. Inputs are never
// opened for writing.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "classloader.h"
#include "command_line.h"
#include "file_converter.h"
#include "file_writer.h"
#include "host_files.h"
#include "link_map.h"
#include "string_helper.h"

namespace {

constexpr int LINKER_VERSION = 5;
constexpr const char* TMP_FILE_NAME = "linker.tmp";
constexpr int FAILURE_STATUS = 1;
constexpr const char* PROGRAM = "mirt_linker";

void print_usage() {
    std::printf("Usage:\n\n\tmirt_linker.exe [-debug] [-OS] input.class output.prg\n");
}

struct link_options {
    bool is_debug = false;
    bool optimize_size = false;
    const char* map = nullptr;
    bool map_locals = false;
};

// Every option of the linker, once. The two switches act on the class files after them.
host::option_table option_rows(link_options& o) {
    return {
        {"-debug", nullptr, "trace reading, identifiers and writing of the class files after it",
         &o.is_debug},
        {"-OS", nullptr, "remove the method names from the images of the class files after it",
         &o.optimize_size},
        {"-map", "FILE", "write the package's map: offsets, sizes and source lines",
         host::text_value{&o.map, "a file name for the map"}},
        {"-map-locals", nullptr,
         "the map also names the local variables (classes compiled with -g)", &o.map_locals},
    };
}

void print_help() {
    link_options unused;
    print_usage();
    std::printf("\nOptions, before the output:\n%s"
                "\nEvery other argument before the output is a class file; several are linked "
                "into one\npackage, the first one's main is run. Link from the classes' folder: "
                "the VM finds\na class by the path it was linked from.\n",
                host::option_help(option_rows(unused)).c_str());
}

// Two spellings of one place, also when neither exists yet.
bool same_path(const char* a, const char* b) {
    std::error_code failed;
    const auto ca = std::filesystem::weakly_canonical(a, failed);
    if (failed) return false;
    const auto cb = std::filesystem::weakly_canonical(b, failed);
    return !failed && ca == cb;
}

bool begins_like_a_class_file(const char* path) {
    return has_class_file_magic(host::read_regular_file(path, 4).bytes);
}

// The VM finds a class through the directory entry made from its path; when that is not the
// class's own name, calls into the class from the others can never resolve.
void warn_if_not_found_by_name(const ClassFile& cf, const char* path) {
    const cp_info* constant = cf.constant(cf.this_class);
    const cp_info* name = constant ? cf.constant(constant->name_index) : nullptr;
    if (!name) return; // the reader has refused such a file already
    const std::string entry = file2class_name(path);
    if (entry == name->text) return;
    const std::string plain_path = name->text + ".class";
    std::fprintf(stderr,
                 "%s: warning: %s is recorded as \"%s\", not as its class %s, so calls into it "
                 "from other classes are not found; %s\n",
                 PROGRAM, path, entry.c_str(), name->text.c_str(),
                 file2class_name(plain_path) == name->text
                     ? ("link from the classes' folder, naming it " + plain_path).c_str()
                     : "a class in a package of more than one level cannot be found by name");
}

// Refusals made before anything is opened for writing: the output must be a regular file
// or not exist yet, and must be neither an input, nor a class file (the output name was
// forgotten), nor the temporary file. An input must not be the temporary file, which the
// run replaces.
bool output_is_refused(int cnt, char** params, const host::option_table& options,
                       const char* output_path, const char* map_path) {
    const auto output = host::identity_of(output_path);
    if (output && !S_ISREG(output->mode)) {
        std::printf("file not writable\n");
        std::printf("ERROR: %s is %s; a package is written only to a regular file\n", output_path,
                    host::non_regular_kind(output->mode).c_str());
        return true;
    }
    if (output && begins_like_a_class_file(output_path)) {
        std::printf("ERROR: %s is a class file, not a package; was the output name forgotten?\n",
                    output_path);
        return true;
    }
    if (same_path(output_path, TMP_FILE_NAME)) {
        std::printf("ERROR: %s is the linker's temporary file; name another output\n", output_path);
        return true;
    }
    const auto map = map_path ? host::identity_of(map_path) : std::nullopt;
    if (map_path) {
        if (map && !S_ISREG(map->mode)) {
            std::printf("ERROR: the map %s is %s; a map is written only to a regular file\n",
                        map_path, host::non_regular_kind(map->mode).c_str());
            return true;
        }
        if (same_path(map_path, output_path) || same_path(map_path, TMP_FILE_NAME) ||
            (map && begins_like_a_class_file(map_path))) {
            std::printf("ERROR: the map %s would replace the package, linker.tmp or a class "
                        "file; name another map\n",
                        map_path);
            return true;
        }
    }
    const auto temporary = host::identity_of(TMP_FILE_NAME);
    for (int i = 1; i < cnt - 1; ++i) {
        if (const host::option_row* row = host::find_option(options, params[i])) {
            if (row->metavariable) ++i; // its value is no input
            continue;
        }
        const auto input = host::identity_of(params[i]);
        if (!input) continue;
        if (output && *input == *output) {
            std::printf("ERROR: the output %s is the same file as the input %s\n", output_path,
                        params[i]);
            return true;
        }
        if (map && *input == *map) {
            std::printf("ERROR: the map %s is the same file as the input %s\n", map_path,
                        params[i]);
            return true;
        }
        if (temporary && *input == *temporary) {
            std::printf("ERROR: the input %s is the linker's temporary file %s, which a link "
                        "replaces\n",
                        params[i], TMP_FILE_NAME);
            return true;
        }
    }
    return false;
}

// linker.tmp is replaced at the end; one that is not a regular file, or that its owner made
// read-only, is not.
bool temporary_is_writable(std::string& problem) {
    const auto existing = host::identity_of(TMP_FILE_NAME);
    if (!existing) return true;
    if (!S_ISREG(existing->mode)) {
        problem = host::non_regular_kind(existing->mode);
        return false;
    }
    if ((existing->mode & 0222) == 0) {
        problem = "it is read-only";
        return false;
    }
    return true;
}

// The package as written to `package` (read back from its start) described, with what the
// class files add.
bool describe_written_package(std::FILE* package, const std::vector<const ClassFile*>& classes,
                              mapfile::package_map& map, bool locals) {
    std::vector<u8> bytes;
    std::rewind(package);
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, package)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::string problem;
    if (std::ferror(package) || !mapfile::describe_package(bytes, map, problem)) {
        std::printf("ERROR: the package cannot be read back for its map: %s\n", problem.c_str());
        return false;
    }
    add_class_file_facts(map, classes, locals);
    return true;
}

bool write_map_file(const char* path, const mapfile::package_map& map) {
    host::atomic_file file(path);
    std::string problem;
    const std::string text = mapfile::write_map(map);
    if (!file.open(problem) ||
        std::fwrite(text.data(), 1, text.size(), file.stream()) != text.size() ||
        !file.commit(problem)) {
        std::printf("ERROR: cannot write the map %s: %s\n", path, problem.c_str());
        return false;
    }
    return true;
}

int link(int cnt, char** params) {
    std::printf("mirt linker version: %d\n", LINKER_VERSION);
    for (int i = 1; i < cnt; ++i) {
        if (host::is_help_request(params[i])) {
            print_help();
            return 0;
        }
    }
    if (cnt < 3) {
        print_usage();
        host::report_usage_error(PROGRAM, "needs a class file and the output package");
        return FAILURE_STATUS;
    }
    link_options o;
    const host::option_table options = option_rows(o);
    std::vector<bool> seen(options.size());
    // Values first; the switches are read in order with the class files below.
    for (int i = 1; i < cnt; ++i) {
        const host::option_row* row = host::find_option(options, params[i]);
        if (row && !row->metavariable) continue;
        std::string reason;
        if (row && host::read_option(options, seen, params, i, cnt - 1, reason)) continue;
        if (params[i][0] != '-') continue;
        std::printf("unknown option: %s\n", params[i]);
        print_usage();
        if (reason.empty()) reason = std::string("unknown option ") + params[i];
        host::report_usage_error(PROGRAM, reason);
        return FAILURE_STATUS;
    }
    const char* map_path = o.map;
    bool failed = false;
    bool output_stays = false; // the failure was the temporary file's: the output is not touched
    const char* output_path = params[cnt - 1];
    std::vector<classfile_descriptor> classfile_list{{0, 0, output_path}};
    std::vector<std::unique_ptr<ClassFile>> classes; // kept until the linker exits

    std::printf("writing output to file: %s\n", output_path);
    if (output_is_refused(cnt, params, options, output_path, map_path)) return FAILURE_STATUS;

    std::string problem;
    host::atomic_file output(output_path);
    if (!output.open(problem)) {
        std::printf("file not writable\n");
        std::printf("ERROR: cannot write %s: %s\n", output_path, problem.c_str());
        failed = true;
    }
    host::atomic_file images(TMP_FILE_NAME);
    if (!temporary_is_writable(problem) || !images.open(problem)) {
        std::printf("tmp file not writable\n");
        std::printf("ERROR: cannot write %s: %s\n", TMP_FILE_NAME, problem.c_str());
        failed = true;
        output_stays = true;
    }
    std::FILE* tmpfile = images.stream();

    for (int i = 1; i < cnt - 1; ++i) {
        const char* argument = params[i];
        if (const host::option_row* row = host::find_option(options, argument)) {
            if (bool* const* on = std::get_if<bool*>(&row->store))
                **on = true;
            else
                ++i; // the value, read above
            continue;
        }
        std::unique_ptr<ClassFile> cf = read_class_file(argument, o.is_debug);
        if (!cf) {
            std::printf("error reading class file: %s\n", argument);
            failed = true;
            break;
        }
        warn_if_not_found_by_name(*cf, argument);
        convert_class_file(*cf, o.is_debug, o.optimize_size);
        // Without the temporary file the classes are still read and checked, but nothing
        // is written anywhere.
        if (tmpfile) {
            int classsize = write_tmp_file(*cf, tmpfile, o.is_debug);
            if (classsize < 0) {
                failed = true;
                break;
            }
            if (classsize > 0) classfile_list.push_back({1, classsize, argument});
        }
        classes.push_back(std::move(cf));
    }

    if (!failed && classfile_list.size() < 2) {
        std::printf("ERROR: no class file to link\n");
        failed = true;
    }
    // Past this point the package is assembled (written whole or found too big).
    const bool assembled = !failed;
    if (assembled) {
        failed = write_prg_file(classfile_list, tmpfile, output.stream(), o.is_debug) == -1;
        // With -map, a package too big also says what takes the space, and its map is
        // written all the same.
        if (map_path) {
            std::vector<const ClassFile*> records;
            for (const auto& cf : classes) records.push_back(cf.get());
            mapfile::package_map map;
            const bool described =
                describe_written_package(output.stream(), records, map, o.map_locals);
            if (failed && described) print_size_report(map, records);
            if (!(described && write_map_file(map_path, map))) failed = true;
        }
    }
    if (tmpfile && std::ferror(tmpfile)) {
        std::printf("ERROR: cannot write %s: %s\n", TMP_FILE_NAME, std::strerror(errno));
        failed = true;
    }
    // linker.tmp holds this run's images, as far as they were written, whatever became of
    // the package; it is replaced before the output so that its failure leaves the output.
    if (tmpfile && !images.commit(problem)) {
        std::printf("ERROR: cannot write %s: %s\n", TMP_FILE_NAME, problem.c_str());
        failed = true;
        output_stays = true;
    }
    if (!failed && !output.commit(problem)) {
        std::printf("ERROR: cannot write %s: %s\n", output_path, problem.c_str());
        failed = true;
    }
    if (failed) {
        output.abandon();
        // A stale package from an earlier run is never left to be run by mistake, nor a
        // stale map read beside it.
        if (!output_stays) host::remove_if_regular(output_path);
        if (map_path && !assembled && !output_stays) host::remove_if_regular(map_path);
    }
    return failed ? FAILURE_STATUS : 0;
}

} // namespace

int main(int cnt, char** params) {
    return host::run_program(PROGRAM, link, cnt, params, FAILURE_STATUS, FAILURE_STATUS);
}
