// Runs the VM core in-process on a package and reports what it printed and how it ended.
// A fatal error throws fatal_exit instead of ending the test process.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>

#include "emulate.h"
#include "mirt.h"
#include "mirt_error.h"
#include "mirt_method_ids.h"
#include "mirt_opcodes.h"
#include "package_builder.h"

namespace testing_support {

struct fatal_exit {
    int status;
};

inline void throw_fatal_exit(int status) { throw fatal_exit{status}; }

struct run_result {
    std::string output;
    int status; // 0, or the fatal status
};

// A readable test name from any text: letters and digits kept, everything else '_'.
inline std::string test_name(const std::string& text) {
    std::string name = text;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

// Every piece of VM state as a new emulator process has it.
inline void reset_vm() {
    set_fatal_exit_handler(throw_fatal_exit);
    vm_reset();
    millis = 0;
}

inline void hand_over(const bytes& package_bytes, bool debug) {
    load_bytes(package_bytes.data(), static_cast<u32>(package_bytes.size()), debug);
}

// Captures everything `body` prints; a fatal end is reported as its status.
inline run_result capture(const std::function<void()>& body) {
    run_result result{"", 0};
    ::testing::internal::CaptureStdout();
    try {
        body();
    } catch (const fatal_exit& end) {
        result.status = end.status;
    }
    result.output = ::testing::internal::GetCapturedStdout();
    return result;
}

// What the emulator does after loading: vm_init, then vm_run. The VM state stays
// inspectable afterwards.
inline run_result run_package(const bytes& package_bytes, bool debug = false) {
    reset_vm();
    hand_over(package_bytes, debug);
    return capture([] {
        vm_init();
        vm_run();
    });
}

// A one-class package "T" whose main ()V runs `code`; `setup` may add constants and
// methods first (constant numbers then start at 1 in the order setup adds them).
inline bytes single_class(const bytes& code, const std::function<void(image_builder&)>& setup = {},
                          u16 max_locals = 0, u8 locals_base = 0) {
    image_builder image;
    if (setup) setup(image);
    image.set_this_class(image.class_constant("T"));
    method_spec main_spec;
    main_spec.name = "main";
    main_spec.descriptor = "()V";
    main_spec.e_method_id = JAVA_MAIN_METHOD;
    main_spec.code = code;
    main_spec.max_locals = max_locals;
    main_spec.locals = locals_base;
    image.method(main_spec);
    return make_package({{"T", image.build()}});
}

// The last line printed, without its newline.
inline std::string last_line(const std::string& output) {
    std::string text = output;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    size_t cut = text.rfind('\n');
    return cut == std::string::npos ? text : text.substr(cut + 1);
}

// Short names for the entry constructors, for the test tables.
inline variable int_v(s32 x) { return int_entry(x); }
inline variable long_v(s64 x) { return long_entry(x); }
inline variable float_v(float x) { return float_entry(x); }
inline variable double_v(double x) { return double_entry(x); }

inline variable stack_top(int depth = 0) { return vm_stack_entry(vm_stack_depth() - 1 - depth); }

} // namespace testing_support
