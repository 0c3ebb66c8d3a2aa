#include "coverage.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "../mirt/mirt.h"
#include "../mirt/mirt_opcodes.h"
#include "harness.h"
#include "host_files.h"
#include "lcov.h"
#include "package_map.h"

namespace coverage {

namespace {

constexpr int WRITE_FAILED_STATUS = 255;

std::unique_ptr<host::atomic_file> file;
std::vector<u8> bytes;  // the package, kept for the decoding after free_vm
std::vector<u64> hits;  // by package offset: how often the instruction there ran
std::vector<u64> jumps; // by package offset: how often a conditional branch there jumped

void describe_method(const mapfile::class_entry& owner, const mapfile::method_entry& m,
                     lcov::source& out) {
    if (m.code + m.length > bytes.size()) return;
    const std::string name = owner.name + "." + m.name + m.descriptor;
    out.functions[name] = mapfile::line_of(m, 0);
    out.function_hits[name] += hits[m.code];
    bool wide = false;
    for (u32 at = 0; at < m.length;) {
        const decoded_instruction d = decode_instruction(bytes.data() + m.code, m.length, at, wide);
        const u32 line = mapfile::line_of(m, at);
        const u64 count = hits[m.code + at];
        if (line) {
            u64& seen = out.lines[line];
            seen = std::max(seen, count);
        }
        // Both outcomes of a conditional branch: 0 jumps, 1 falls through.
        if (line && d.flow == control_flow::branch) {
            const u64 jumped = jumps[m.code + at];
            for (u32 outcome = 0; outcome < 2; ++outcome) {
                const auto entry = out.branches.try_emplace(std::make_tuple(line, at, outcome));
                if (count) entry.first->second = outcome == 0 ? jumped : count - jumped;
            }
        }
        wide = d.op == OP_wide && !wide;
        if (d.operands < 0 || d.next <= at) break; // a switch: the VM refuses it anyway
        at = d.next;
    }
}

std::string describe(const mapfile::package_map& map) {
    lcov::tracefile t;
    for (const mapfile::class_entry& c : map.classes) {
        if (c.source.empty()) continue;
        for (const mapfile::method_entry& m : c.methods)
            if (m.length) describe_method(c, m, t[c.source]);
    }
    return lcov::write(t);
}

} // namespace

bool open(const char* path, std::string& problem) { return host::open_output(path, file, problem); }

bool active() { return file != nullptr; }

char run() {
    const char started = vm_start();
    if (started != '+') return started;
    bytes.assign(vm_memory(), vm_memory() + vm_loaded().size());
    hits.assign(bytes.size(), 0);
    jumps.assign(bytes.size(), 0);
    while (vm_running()) {
        const u8* at = vm_pc();
        const size_t offset = static_cast<size_t>(at - vm_memory());
        const bool counted = at >= vm_memory() && offset < bytes.size();
        const bool branch = counted && opcode_flow(*at) == control_flow::branch;
        if (counted) ++hits[offset];
        mirt_step();
        // A conditional branch that falls through goes on behind its two operand bytes.
        if (branch && vm_running() && vm_pc() != at + 3) ++jumps[offset];
    }
    return '+';
}

int finish(int status) {
    if (!file) return status;
    const mapfile::package_map* map = loaded_package_map();
    if (map && !bytes.empty()) std::fputs(describe(*map).c_str(), file->stream());
    std::string problem;
    const bool written = file->commit(problem);
    if (!written)
        std::printf("ERROR: the coverage %s could not be written (%s)\n", file->target().c_str(),
                    problem.c_str());
    file.reset();
    return written ? status : WRITE_FAILED_STATUS;
}

} // namespace coverage
