// File handling shared by the three programs: inputs are opened without blocking and only
// when they are regular files, read with a bound; outputs appear whole or not at all; and
// standard output is checked before a program reports success.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mirt_types.h"

namespace host {

// What a path names, in words for messages ("a directory", "a FIFO", ...); empty for a
// regular file.
std::string non_regular_kind(mode_t mode);

// Opens `path` for reading without blocking (a FIFO would wait for a writer) and only when
// it is a regular file. On failure returns null and says why in `problem`: the system's
// reason, or the kind of thing the path names.
std::FILE* open_regular_for_reading(const char* path, std::string& problem);

struct read_result {
    bool ok = false;
    bool too_large = false; // more than `limit` bytes; `bytes` then holds limit + 1 of them
    std::string problem;    // when not ok: why
    std::vector<u8> bytes;
};

// Reads a regular file whole, but never more than `limit` + 1 bytes, so that a huge or
// endless input costs constant memory.
read_result read_regular_file(const char* path, size_t limit);

// Device and inode of what `path` names (following links), or none when it does not exist.
struct file_identity {
    dev_t device;
    ino_t inode;
    mode_t mode;
    off_t size;
    bool operator==(const file_identity& other) const {
        return device == other.device && inode == other.inode;
    }
};
std::optional<file_identity> identity_of(const char* path);

// Removes `path` only when it is a regular file (never a device, a directory or a FIFO).
void remove_if_regular(const char* path);

// A file written beside its final place and renamed over it only when every byte has been
// written, flushed and closed without error. Until commit, nothing at the final path
// changes; a writer that is destroyed uncommitted removes its temporary file.
class atomic_file {
  public:
    explicit atomic_file(std::string target);
    ~atomic_file();
    atomic_file(const atomic_file&) = delete;
    atomic_file& operator=(const atomic_file&) = delete;

    // Creates the temporary file; false (with the reason) when it cannot be created.
    bool open(std::string& problem);
    std::FILE* stream() const { return stream_; }
    const std::string& target() const { return target_; }
    // Flushes, syncs and closes the temporary file, then renames it over the target.
    bool commit(std::string& problem);
    // Removes the temporary file; the target stays as it was.
    void abandon();

  private:
    std::string target_;
    std::string temporary_;
    std::FILE* stream_ = nullptr;
};

// An output the tools write whole or not at all, opened at `path`: refused when the path
// names something other than a regular file (a device, a FIFO, a directory), which a rename
// would replace. False with "path: reason" (or "path is ..., not a file to write").
bool open_output(const char* path, std::unique_ptr<atomic_file>& file, std::string& problem);

// A program's main: runs `body`; an exception that escapes it is reported as a line
// ("ERROR: <program> stopped: ...") and ends with `failure_status`; the status is
// `output_failure_status` when standard output could not be written.
int run_program(const char* program, int (*body)(int, char**), int argc, char** argv,
                int failure_status, int output_failure_status);

// Flushes standard output and checks that everything could be written. When it could not,
// says so on standard error and returns `failure_status`; otherwise returns `status`.
int checked_exit_status(const char* program, int status, int failure_status);

} // namespace host
