// Kept trace lines and call sites: the lines of calls and returns that come out the same at
// every execution, kept as first printed and written again as one block.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mirt_core.h"

namespace mirt_core {

char pending_trace[PENDING_TRACE_BYTES];
size_t pending_trace_length = 0;

[[gnu::noinline]] void write_pending_trace() {
    std::fwrite(pending_trace, 1, pending_trace_length, stdout);
    pending_trace_length = 0;
}

[[gnu::noinline]] void add_pending_trace(const char* text, u16 length) {
    if (!batch_trace_output) {
        std::fwrite(text, 1, length, stdout);
        return;
    }
    if (PENDING_TRACE_BYTES - pending_trace_length < length) write_pending_trace();
    std::memcpy(pending_trace + pending_trace_length, text, length);
    pending_trace_length += length;
}

namespace {

kept_trace checked_kept_lines;

} // namespace

void remember_kept(const kept_trace& lines) {
    if constexpr (!replay_kept_traces) checked_kept_lines = lines;
}
void compare_kept(const kept_trace& fresh) {
    if constexpr (!replay_kept_traces) {
        const bool both = checked_kept_lines.kept && fresh.kept;
        checked_kept_lines.kept = false;
        if (!both || (fresh.length == checked_kept_lines.length &&
                      std::memcmp(fresh.text, checked_kept_lines.text, fresh.length) == 0))
            return;
        std::fflush(stdout);
        std::fprintf(stderr, "kept trace differs from its fresh text:\nkept:  %.*sfresh: %.*s",
                     checked_kept_lines.length, checked_kept_lines.text, fresh.length, fresh.text);
        std::abort();
    }
}

kept_trace* capturing = nullptr;

void capture(kept_trace& lines) {
    lines.kept = false;
    lines.length = 0;
    capturing = &lines;
}

void keep_trace() {
    if (!capturing) return;
    capturing->kept = true;
    capturing = nullptr;
}

call_site call_sites[CALL_SITE_ENTRIES];
return_line return_lines[RETURN_LINE_ENTRIES];

void clear_kept_traces() {
    for (call_site& site : call_sites) {
        site.lines.kept = site.entry_kept = site.native_kept = false;
        site.proof = nullptr;
    }
    for (return_line& line : return_lines) {
        line.lines.kept = false;
        line.proof = nullptr;
    }
    capturing = nullptr;
    clear_proofs();
    write_out_pending_trace();
}

namespace {

[[gnu::format(printf, 1, 0)]] void capture_trace(const char* format, va_list arguments) {
    const size_t room = KEPT_TRACE_BYTES - capturing->length;
    char* end = capturing->text + capturing->length;
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_copy by the caller; false positive
    const int length = std::vsnprintf(end, room, format, arguments);
    if (length < 0 || static_cast<size_t>(length) >= room)
        capturing = nullptr; // too long to keep
    else
        capturing->length = static_cast<u16>(capturing->length + length);
}

} // namespace

[[gnu::format(printf, 1, 2)]] void trace_line(const char* format, ...) {
    if (quiet && !capturing) return;
    va_list arguments;
    va_start(arguments, format);
    if (capturing) {
        va_list kept;
        va_copy(kept, arguments);
        capture_trace(format, kept);
        va_end(kept);
    }
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start above; analyser false positive
    if (!quiet) std::vprintf(format, arguments);
    va_end(arguments);
}

} // namespace mirt_core
