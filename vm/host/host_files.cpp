#include "host_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace host {

namespace {

// The mode a file created with fopen would get: what the user's umask allows of rw-rw-rw-.
mode_t default_file_mode() {
    static const mode_t mode = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

} // namespace

std::string non_regular_kind(mode_t mode) {
    if (S_ISREG(mode)) return "";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

std::FILE* open_regular_for_reading(const char* path, std::string& problem) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        problem = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = non_regular_kind(st.st_mode);
        ::close(fd);
        return nullptr;
    }
    // Reads of a regular file never block; the flag only mattered for the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* in = ::fdopen(fd, "rb");
    if (!in) {
        problem = std::strerror(errno);
        ::close(fd);
    }
    return in;
}

read_result read_regular_file(const char* path, size_t limit) {
    read_result result;
    std::FILE* in = open_regular_for_reading(path, result.problem);
    if (!in) return result;
    char chunk[1 << 14];
    size_t n;
    while (result.bytes.size() <= limit &&
           (n = std::fread(chunk, 1, std::min(sizeof chunk, limit + 1 - result.bytes.size()), in)) >
               0)
        result.bytes.insert(result.bytes.end(), chunk, chunk + n);
    if (std::ferror(in)) {
        result.problem = std::strerror(errno);
        std::fclose(in);
        return result;
    }
    std::fclose(in);
    result.too_large = result.bytes.size() > limit;
    result.ok = !result.too_large;
    return result;
}

std::optional<file_identity> identity_of(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) return std::nullopt;
    return file_identity{st.st_dev, st.st_ino, st.st_mode, st.st_size};
}

void remove_if_regular(const char* path) {
    struct stat st {};
    if (::lstat(path, &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path);
}

atomic_file::atomic_file(std::string target) : target_(std::move(target)) {}

atomic_file::~atomic_file() { abandon(); }

bool atomic_file::open(std::string& problem) {
    std::string name = target_ + ".XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        problem = std::strerror(errno);
        return false;
    }
    ::fchmod(fd, default_file_mode());
    stream_ = ::fdopen(fd, "w+b");
    if (!stream_) {
        problem = std::strerror(errno);
        ::close(fd);
        ::unlink(name.c_str());
        return false;
    }
    temporary_ = name;
    return true;
}

bool atomic_file::commit(std::string& problem) {
    if (!stream_) {
        problem = "not open";
        return false;
    }
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    if (ok && ::fsync(::fileno(stream_)) != 0 && errno != EINVAL) ok = false;
    if (!ok) problem = std::strerror(errno ? errno : EIO);
    if (std::fclose(stream_) != 0 && ok) {
        ok = false;
        problem = std::strerror(errno);
    }
    stream_ = nullptr;
    if (ok && ::rename(temporary_.c_str(), target_.c_str()) != 0) {
        ok = false;
        problem = std::strerror(errno);
    }
    if (!ok) ::unlink(temporary_.c_str());
    temporary_.clear();
    return ok;
}

void atomic_file::abandon() {
    if (stream_) std::fclose(stream_);
    stream_ = nullptr;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

int run_program(const char* program, int (*body)(int, char**), int argc, char** argv,
                int failure_status, int output_failure_status) {
    int status;
    try {
        status = body(argc, argv);
    } catch (const std::exception& e) {
        std::printf("ERROR: %s stopped: %s\n", program, e.what());
        status = failure_status;
    } catch (...) {
        std::printf("ERROR: %s stopped\n", program);
        status = failure_status;
    }
    return checked_exit_status(program, status, output_failure_status);
}

int checked_exit_status(const char* program, int status, int failure_status) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    const int reason = errno ? errno : EIO;
    std::fprintf(stderr, "%s: standard output could not be written: %s\n", program,
                 std::strerror(reason));
    return failure_status;
}

bool open_output(const char* path, std::unique_ptr<atomic_file>& file, std::string& problem) {
    if (const auto identity = identity_of(path)) {
        const std::string kind = non_regular_kind(identity->mode);
        if (!kind.empty()) {
            problem = std::string(path) + " is " + kind + ", not a file to write";
            return false;
        }
    }
    file = std::make_unique<atomic_file>(path);
    if (!file->open(problem)) {
        problem = std::string(path) + ": " + problem;
        file.reset();
        return false;
    }
    return true;
}

} // namespace host
