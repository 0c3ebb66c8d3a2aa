#include "harness.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "../mirt/mirt.h"
#include "coverage.h"
#include "drive_record.h"
#include "emulate.h"
#include "host_files.h"
#include "package_map.h"

namespace {

// A stop that is no signal: the emulated clock passed its bound.
constexpr std::sig_atomic_t CLOCK_BOUND_REQUEST = -1;

std::vector<std::string> expected;
bool expecting = false;
size_t expected_next = 0; // index of the next expected line

u64 step_bound = NO_BOUND;
u64 clock_bound = NO_BOUND;
u64 clock_passing_bound = NO_BOUND; // -max-ms with -clock-us, kept as an instruction limit

[[noreturn]] void end_run(int status) {
    status = coverage::finish(drive_record::finish(status, emulated_ms()));
    std::exit(host::checked_exit_status("mirt_emulator", status, 255));
}

const char* signal_name(int number) {
    switch (number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGPIPE: return "SIGPIPE";
    default: return "signal";
    }
}

void on_signal(int number) {
    // A second signal while the first is still being served ends the process the usual way.
    if (vm_stop_request() != 0) {
        std::signal(number, SIG_DFL);
        std::raise(number);
        return;
    }
    vm_request_stop(number);
}

void on_vm_stop(stop_reason reason) {
    const int request = vm_stop_request();
    // The reader is gone: nothing more can reach it, and nobody is there to tell.
    if (reason == STOP_REQUESTED && request == SIGPIPE) {
        coverage::finish(drive_record::finish(0, emulated_ms())); // files: they are kept
        std::_Exit(128 + SIGPIPE);
    }
    std::string cause;
    int status = STOPPED_BY_BOUND_STATUS;
    if (reason == STOP_AT_LIMIT && vm_instructions_executed() >= step_bound) {
        cause = "-max-steps " + std::to_string(step_bound) + " reached";
    } else if (reason == STOP_AT_LIMIT) { // the clock moves with the instructions
        cause = "-max-ms " + std::to_string(clock_passing_bound) + " passed";
    } else if (request == CLOCK_BOUND_REQUEST) {
        cause = "-max-ms " + std::to_string(clock_bound) + " passed";
    } else {
        cause = signal_name(request);
        status = 128 + request;
    }
    std::printf("STOP: %s: %llu instructions, emulated time %d ms, at %s\n", cause.c_str(),
                static_cast<unsigned long long>(vm_instructions_executed()), shown_millis(),
                vm_position().c_str());
    end_run(expected_end_status(status));
}

std::optional<mapfile::package_map> map;

// A caller's pc stands on its call's last operand byte, this far after the call.
constexpr u32 CALL_OPERAND_BYTES = 2;

// One activation as the map knows it: its method (null when the map has none), the code
// offset it stands on and that offset's source line (0: none). `at` points into the loaded
// package, `back` bytes after the instruction it belongs to (a caller's pc stands on its
// call's last operand byte).
struct mapped_place {
    const mapfile::class_entry* owner = nullptr;
    const mapfile::method_entry* method = nullptr;
    long offset = 0;
    u32 line = 0;
};

mapped_place place_in_map(const class_image& image, u16 method, const u8* at, u32 back) {
    mapped_place place;
    place.method = mapfile::find_method(*map, image.base, method, &place.owner);
    if (!place.method || place.method->length == 0) return place;
    place.offset =
        at - vm_memory() - static_cast<long>(place.method->code) - static_cast<long>(back);
    if (place.offset >= 0)
        place.line = mapfile::line_of(*place.method, static_cast<u32>(place.offset));
    return place;
}

// Where the running activation stands: pc where it lies in its code, else where it was saved.
const u8* running_at() {
    const mapfile::method_entry* running =
        mapfile::find_method(*map, vm_current_frame().cf.base, vm_current_frame().method);
    if (running && running->length &&
        (!vm_pc() || vm_pc() < vm_memory() + running->code ||
         vm_pc() > vm_memory() + running->code + running->length))
        return vm_current_frame().pc;
    return vm_pc();
}

// "  at Class.method(Source.java:12), code offset 3" for one activation.
void print_activation(const class_image& image, u16 method, const u8* at, u32 back) {
    const mapped_place place = place_in_map(image, method, at, back);
    if (!place.method) {
        std::printf("  at method %u of the image at package offset %u\n", method, image.base);
        return;
    }
    const std::string name = place.owner->name + "." + place.method->name;
    if (place.method->length == 0) {
        std::printf("  at %s(native)\n", name.c_str());
        return;
    }
    if (place.line)
        std::printf("  at %s(%s), code offset %ld\n", name.c_str(),
                    mapfile::source_place(*place.owner, place.line).c_str(), place.offset);
    else
        std::printf("  at %s, code offset %ld\n", name.c_str(), place.offset);
}

// " (emulated time 400 ms, at Controller.main@12, Controller.java:14)" for an expectation
// that fails: when, and where the program stood, with the source line when there is a map.
std::string when_and_where(bool after_fault) {
    std::string place = vm_instructions_executed() ? "after the run" : "before the run";
    if (after_fault) {
        place = "at the fault above";
    } else if (vm_running()) {
        place = "at " + vm_position();
        if (map && vm_memory()) {
            // A drive call's place is its caller's call.
            const mapped_place running =
                place_in_map(vm_current_frame().cf, vm_current_frame().method, running_at(), 0);
            const bool in_drive_call =
                running.method && running.method->length == 0 && vm_frame_depth() > 0;
            const frame_info& caller = vm_saved_frame(in_drive_call ? vm_frame_depth() - 1 : 0);
            const mapped_place mapped =
                in_drive_call ? place_in_map(caller.cf, caller.method, vm_pc(), CALL_OPERAND_BYTES)
                              : running;
            if (mapped.line) place += ", " + mapfile::source_place(*mapped.owner, mapped.line);
        }
    }
    return " (emulated time " + std::to_string(shown_millis()) + " ms, " + place + ")";
}

std::string quoted(const std::string& line) { return "\"" + line + "\""; }

} // namespace

bool load_expected_lines(const char* path, std::string& problem) {
    // Far more drive lines than a test would write down; a larger file is no expectation.
    constexpr size_t most_bytes = 64u << 20;
    const host::read_result file = host::read_regular_file(path, most_bytes);
    if (!file.ok) {
        problem = file.too_large ? "more than 64 MiB" : file.problem;
        return false;
    }
    expected = split_expected_lines(
        std::string_view(reinterpret_cast<const char*>(file.bytes.data()), file.bytes.size()));
    expecting = true;
    return true;
}

std::vector<std::string> split_expected_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::string line;
    for (const char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

void expect_drive_line(const char* line) {
    if (!expecting) return;
    const size_t number = expected_next + 1;
    if (expected_next >= expected.size()) {
        std::printf("EXPECT: line %zu: the run printed %s after the last expected line%s\n", number,
                    quoted(line).c_str(), when_and_where(false).c_str());
        end_run(EXPECTATION_FAILED_STATUS);
    }
    if (expected[expected_next] != line) {
        std::printf("EXPECT: line %zu: expected %s, the run printed %s%s\n", number,
                    quoted(expected[expected_next]).c_str(), quoted(line).c_str(),
                    when_and_where(false).c_str());
        end_run(EXPECTATION_FAILED_STATUS);
    }
    ++expected_next;
}

int expected_end_status(int status, bool after_fault) {
    if (!expecting || expected_next >= expected.size()) return status;
    std::printf("EXPECT: line %zu: expected %s, the run printed no more drive lines%s\n",
                expected_next + 1, quoted(expected[expected_next]).c_str(),
                when_and_where(after_fault).c_str());
    return EXPECTATION_FAILED_STATUS;
}

void install_run_control(u64 max_steps, u64 max_ms) {
    step_bound = max_steps;
    clock_bound = max_ms;
    vm_set_instruction_limit(max_steps != NO_BOUND ? max_steps : NO_INSTRUCTION_LIMIT);
    if (clock_us_per_instruction && max_ms != NO_BOUND) {
        // The clock passes max_ms with the first instruction that ends after it.
        const unsigned __int128 passing =
            static_cast<unsigned __int128>(max_ms) * 1000 / clock_us_per_instruction + 1;
        if (passing < vm_instruction_limit()) vm_set_instruction_limit(static_cast<u64>(passing));
        clock_bound = NO_BOUND; // GetMillis need not look: the count stops the run
        clock_passing_bound = max_ms;
    }
    set_stop_handler(on_vm_stop);
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // a write to a slow reader goes on
    for (int number : {SIGINT, SIGTERM, SIGPIPE}) sigaction(number, &action, nullptr);
}

void emulated_clock_moved(s32 now) {
    if (clock_bound != NO_BOUND && now >= 0 && static_cast<u64>(now) > clock_bound &&
        !vm_stop_request())
        vm_request_stop(CLOCK_BOUND_REQUEST);
}

bool load_package_map(const char* map_path, const char* package_path, std::string& problem) {
    host::read_result package_file = host::read_regular_file(package_path, MAX_PACKAGE_SIZE);
    if (!package_file.ok) return true; // the loader says what is wrong with it
    mapfile::package_map loaded_map;
    if (!mapfile::load_map_for(map_path, package_file.bytes, loaded_map, problem)) return false;
    map = std::move(loaded_map);
    return true;
}

const mapfile::package_map* loaded_package_map() { return map ? &*map : nullptr; }

void print_stack_trace() {
    if (!map || !vm_memory()) return;
    // The running activation first.
    const u8* at = running_at();
    print_activation(vm_current_frame().cf, vm_current_frame().method, at, 0);
    for (int i = vm_frame_depth() - 1; i >= 0; --i) {
        const frame_info& f = vm_saved_frame(i);
        // A fault between saving the caller and entering the callee leaves it twice.
        if (i == vm_frame_depth() - 1 && f.cf == vm_current_frame().cf &&
            f.method == vm_current_frame().method && f.pc == vm_current_frame().pc &&
            at == vm_current_frame().pc)
            continue;
        print_activation(f.cf, f.method, f.pc, CALL_OPERAND_BYTES);
    }
}

std::string vm_position() {
    const std::optional<long> code_offset = vm_code_offset();
    if (!vm_running() || !code_offset) return "before the run";
    // In a drive call the program stands at its call: the caller is named, whose code pc
    // still points into.
    class_image image = vm_running_image();
    u16 method = vm_current_frame().method;
    long offset = *code_offset;
    if (vm_frame_depth() > 0 &&
        (image.method_field(image.method(method), mirt_method_info::access_flags) & ACC_NATIVE)) {
        image = vm_saved_frame(vm_frame_depth() - 1).cf;
        method = vm_saved_frame(vm_frame_depth() - 1).method;
        offset -= CALL_OPERAND_BYTES;
    }
    std::string class_name = "(class image)";
    if (vm_package()) {
        u32 at = mirt2_package::first_class_info;
        for (u16 i = 0; i < vm_package()->count() && vm_loaded().contains(at, 9); ++i) {
            const directory_entry entry = vm_package()->entry_at(at);
            if (entry.offset == image.base) {
                class_name.assign(reinterpret_cast<const char*>(entry.name.bytes),
                                  entry.name.length);
                break;
            }
            at = entry.next;
        }
    }
    const image_text name = image.method_name(image.method(method));
    return class_name + "." + std::string(reinterpret_cast<const char*>(name.bytes), name.length) +
           "@" + std::to_string(offset);
}

std::string call_site() {
    if (!map || !vm_memory() || !vm_pc()) return vm_position();
    // A drive function runs as an activation of its own: the call is its caller's.
    const mapped_place running =
        place_in_map(vm_current_frame().cf, vm_current_frame().method, running_at(), 0);
    const bool in_drive_call =
        running.method && running.method->length == 0 && vm_frame_depth() > 0;
    const mapped_place mapped =
        in_drive_call
            ? place_in_map(vm_saved_frame(vm_frame_depth() - 1).cf,
                           vm_saved_frame(vm_frame_depth() - 1).method, vm_pc(), CALL_OPERAND_BYTES)
            : running;
    return mapped.line ? mapfile::source_place(*mapped.owner, mapped.line) : vm_position();
}
