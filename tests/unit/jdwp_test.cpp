// The JDWP server's answers to the commands debuggers and IDEs send, one row per command:
// the error code, and the reply's data where it is fixed. The packet reader on cut and
// oversized packets.
#include <gtest/gtest.h>

#include "jdwp_inputs.h"
#include "jdwp_packet.h"
#include "jdwp_server.h"

namespace {

using bytes = std::vector<u8>;

bytes be(u64 v, int width) {
    bytes b;
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        b.push_back(static_cast<u8>(v >> shift));
    return b;
}
bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
bytes id(u64 v) { return be(v, 8); }
bytes i32(u32 v) { return be(v, 4); }
// `size` booleans, those at `on` true.
bytes flags(size_t size, std::initializer_list<size_t> on) {
    bytes b(size);
    for (size_t i : on) b[i] = 1;
    return b;
}
bytes text(const std::string& s) {
    return i32(static_cast<u32>(s.size())) + bytes(s.begin(), s.end());
}

constexpr u64 THREAD = 0x10001, GROUP = 0x10002, EXCEPTION = 0x10003, MESSAGE = 0x10004;
constexpr u64 CONTROLLER = 1, DRIVE = 2, OBJECT = 3, THROWABLE = 4, ARITHMETIC = 7, MAIN = 2,
              SEND_LONG = 3, DETAIL_MESSAGE = 1;
constexpr const char* DIVISION = "ERROR: division by zero at code offset 2";

struct row {
    const char* what;
    u8 set, command;
    bytes data;
    u16 error;
    bytes reply;           // compared when not empty
    bool at_fault = false; // the program stands at a division by zero
};

const row rows[] = {
    {"IDSizes", 1, 7, {}, 0, i32(8) + i32(8) + i32(8) + i32(8) + i32(8)},
    {"ClassesBySignature of the program", 1, 2, text("LController;"), 0,
     i32(1) + bytes{1} + id(CONTROLLER) + i32(7)},
    {"ClassesBySignature of Throwable", 1, 2, text("Ljava/lang/Throwable;"), 0,
     i32(1) + bytes{1} + id(THROWABLE) + i32(7)},
    {"ClassesBySignature of nothing", 1, 2, text("LNone;"), 0, i32(0)},
    {"AllThreads", 1, 4, {}, 0, i32(1) + id(THREAD)},
    {"TopLevelThreadGroups", 1, 5, {}, 0, i32(1) + id(GROUP)},
    {"CreateString", 1, 11, text("x"), 99, {}},
    // Bytecodes, SourceDebugExtension (absent) and VM death requests are answered.
    {"CapabilitiesNew", 1, 17, {}, 0, flags(32, {2, 12, 13})},
    {"RedefineClasses", 1, 18, {}, 99, {}},
    {"Signature", 2, 1, id(CONTROLLER), 0, text("LController;")},
    {"Signature of no class", 2, 1, id(99), 21, {}},
    {"Modifiers", 2, 3, id(CONTROLLER), 0, i32(1)},
    {"Fields: none", 2, 4, id(CONTROLLER), 0, i32(0)},
    {"Interfaces: none", 2, 10, id(CONTROLLER), 0, i32(0)},
    {"Status", 2, 9, id(CONTROLLER), 0, i32(7)},
    {"SourceFile", 2, 7, id(CONTROLLER), 0, text("Controller.java")},
    {"SourceFile absent", 2, 7, id(DRIVE), 101, {}},
    {"SourceDebugExtension absent", 2, 12, id(CONTROLLER), 101, {}},
    {"MethodsWithGeneric", 2, 15, id(DRIVE), 0,
     i32(1) + id(SEND_LONG) + text("SendLong") + text("(J)V") + text("") + i32(0x108)},
    {"Superclass of the program's class", 3, 1, id(CONTROLLER), 0, id(OBJECT)},
    {"Superclass of Object", 3, 1, id(OBJECT), 0, id(0)},
    {"LineTable", 6, 1, id(CONTROLLER) + id(MAIN), 0,
     id(0) + id(43) + i32(2) + id(0) + i32(4) + id(3) + i32(5)},
    {"LineTable of a native", 6, 1, id(DRIVE) + id(SEND_LONG), 0,
     id(~u64{0}) + id(~u64{0}) + i32(0)},
    {"VariableTable", 6, 2, id(CONTROLLER) + id(MAIN), 0,
     i32(0) + i32(2) + id(22) + text("out") + text("I") + i32(11) + i32(4) + id(5) + text("total") +
         text("J") + i32(39) + i32(1)},
    {"VariableTable absent", 6, 2, id(DRIVE) + id(SEND_LONG), 101, {}},
    {"no such method", 6, 1, id(CONTROLLER) + id(9), 23, {}},
    {"IsObsolete", 6, 4, id(CONTROLLER) + id(MAIN), 0, bytes{0}},
    {"thread's type", 9, 1, id(THREAD), 0, bytes{1} + id(12)},
    {"no such object", 9, 1, id(77), 20, {}},
    // The fault's exception and its message, read as debuggers read a Throwable's message.
    {"exception's type", 9, 1, id(EXCEPTION), 0, bytes{1} + id(ARITHMETIC), true},
    {"no exception without a fault", 9, 1, id(EXCEPTION), 20, {}},
    {"Throwable's fields", 2, 4, id(THROWABLE), 0,
     i32(1) + id(DETAIL_MESSAGE) + text("detailMessage") + text("Ljava/lang/String;") + i32(2)},
    {"exception's message", 9, 2, id(EXCEPTION) + i32(1) + id(DETAIL_MESSAGE), 0,
     i32(1) + bytes{'s'} + id(MESSAGE), true},
    {"the message's text", 10, 1, id(MESSAGE), 0, text(DIVISION), true},
    {"a field the thread has not", 9, 2, id(THREAD) + i32(1) + id(DETAIL_MESSAGE), 25, {}},
    {"thread Name", 11, 1, id(THREAD), 0, text("main")},
    {"thread Status", 11, 4, id(THREAD), 0, i32(1) + i32(0)},
    {"SuspendCount", 11, 12, id(THREAD), 0, i32(0)},
    {"Frames of a running thread", 11, 6, id(THREAD) + i32(0) + i32(~0u), 13, {}},
    {"no such thread", 11, 1, id(GROUP), 10, {}},
    {"group Name", 12, 1, id(GROUP), 0, text("main")},
    {"group Children", 12, 3, id(GROUP), 0, i32(1) + id(THREAD) + i32(0)},
    {"breakpoint request", 15, 1, bytes{2, 2} + i32(1) + bytes{7, 1} + id(1) + id(MAIN) + id(3), 0,
     i32(1)},
    {"a method entry request: never raised, so refused", 15, 1, bytes{40, 2} + i32(0), 99, {}},
    {"a modifier there is none of", 15, 1, bytes{2, 2} + i32(1) + bytes{99}, 99, {}},
    {"a cut request", 15, 1, bytes{2, 2} + i32(1) + bytes{7, 1}, 103, {}},
    {"frame of a running thread", 16, 1, id(THREAD) + id(1) + i32(0), 13, {}},
    {"PopFrames", 16, 4, id(THREAD) + id(1), 13, {}},
    {"an unknown command set", 200, 1, {}, 99, {}},
};

TEST(Jdwp, AnswersEachCommand) {
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const bytes packet = i32(static_cast<u32>(11 + r.data.size())) + i32(7) +
                             bytes{0, r.set, r.command} + r.data;
        const bytes reply = jdwp::answer_for_test(
            jdwp_test_map(), packet, r.at_fault ? (std::string(DIVISION) + "\n").c_str() : nullptr);
        ASSERT_GE(reply.size(), 11u);
        EXPECT_EQ(reply[8], 0x80);                                      // a reply
        EXPECT_EQ(bytes(reply.begin() + 4, reply.begin() + 8), i32(7)); // to this command
        EXPECT_EQ(reply[9] << 8 | reply[10], r.error);
        if (!r.reply.empty()) {
            EXPECT_EQ(bytes(reply.begin() + 11, reply.end()), r.reply);
        }
    }
}

TEST(Jdwp, PacketReaderRefusesWhatItCannotTrust) {
    const struct {
        bytes input;
        jdwp::scan expected;
    } cases[] = {
        {i32(11) + i32(1) + bytes{0, 1, 1}, jdwp::scan::complete},
        {i32(11) + i32(1) + bytes{0, 1}, jdwp::scan::incomplete},
        {bytes{0, 0}, jdwp::scan::incomplete},
        {i32(10) + i32(1) + bytes{0, 1, 1}, jdwp::scan::refused},
        {i32(jdwp::MAX_PACKET_BYTES + 1), jdwp::scan::refused},
        {i32(~0u), jdwp::scan::refused},
    };
    for (const auto& c : cases) {
        jdwp::packet p;
        size_t used = 0;
        EXPECT_EQ(jdwp::read_packet(c.input.data(), c.input.size(), p, used), c.expected);
    }
    bytes data = i32(1000) + bytes{'a'};
    jdwp::reader r(data);
    EXPECT_EQ(r.string(), "");
    EXPECT_TRUE(r.failed());
}

} // namespace
