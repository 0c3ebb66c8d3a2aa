// The emulator as a debuggee: a JDWP server that jdb and Java IDEs attach to ("Remote JVM
// Debug"). The program runs one instruction at a time through the VM's one-step path while a
// debugger is attached; breakpoints and steps are looked at between instructions, so the
// interpreter's fast path is not involved. Classes, methods, lines and locals come from the
// linker's map.
#pragma once

#include <string>

#include "../mirt/mirt_types.h"
#include "package_map.h"

namespace jdwp {

struct address {
    std::string host = "127.0.0.1"; // loopback unless told otherwise
    u16 port = 0;                   // 0: a free port
};

// "PORT" or "HOST:PORT"; false for anything else.
bool parse_address(const char* text, address& out);

// Listens at `where`, prints "Listening for transport dt_socket at address: PORT" on
// standard error, and waits for one debugger and its handshake. False with the reason when
// it cannot listen.
bool attach(const address& where, const mapfile::package_map& map, std::string& problem);

// Runs the started program to its end under the debugger: it is suspended until the
// debugger resumes it. A debugger that goes away leaves it running on.
void run();

// From the fatal end: reports the fault as an uncaught exception at the faulting instruction
// and holds the program there until the debugger resumes or detaches.
void stop_at_fault();

// Answers the command packets `bytes` holds, one after another, as the server would from a
// fresh start with the program running: for tests and fuzzing (no socket; Exit does not end
// the process). Answers the replies; the first packet that is refused ends the answers. With
// `division_fault`, the program stands at a division by zero that printed that message.
std::vector<u8> answer_for_test(const mapfile::package_map& map, const std::vector<u8>& bytes,
                                const char* division_fault = nullptr);

} // namespace jdwp
