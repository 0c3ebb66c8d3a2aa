// The wire format of the Java Debug Wire Protocol: packets of an 11-byte header (length, id,
// flags, then command set and command, or an error code for a reply) and big-endian data.
// The reader never trusts a length: a packet is complete, incomplete or refused.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "../mirt/mirt_types.h"

namespace jdwp {

constexpr size_t HEADER_BYTES = 11;
// Far more than any command a debugger sends; a longer packet ends the session.
constexpr u32 MAX_PACKET_BYTES = 1u << 16;
constexpr u8 REPLY_FLAG = 0x80;
constexpr const char* HANDSHAKE = "JDWP-Handshake";

struct packet {
    u32 id = 0;
    u8 flags = 0;
    u8 command_set = 0; // a command's
    u8 command = 0;
    u16 error = 0; // a reply's
    std::vector<u8> data;
};

enum class scan { complete, incomplete, refused };

// Reads the packet at the start of `bytes`: complete (with `used` its length), incomplete
// (more bytes are needed), or refused (a length below the header or above the limit).
scan read_packet(const u8* bytes, size_t size, packet& out, size_t& used);

// Reads the data of a packet in order; a read past its end sets `failed` and answers zeros.
class reader {
  public:
    explicit reader(const std::vector<u8>& data) : data_(data) {}
    u8 byte();
    u32 u32_();
    s32 s32_() { return static_cast<s32>(u32_()); }
    u64 u64_();
    std::string string();
    bool failed() const { return failed_; }
    bool at_end() const { return at_ == data_.size(); }

  private:
    const std::vector<u8>& data_;
    size_t at_ = 0;
    bool failed_ = false;
};

class writer {
  public:
    writer& byte(u8 v) {
        data.push_back(v);
        return *this;
    }
    writer& u32_(u32 v);
    writer& u64_(u64 v);
    writer& string(const std::string& s);
    std::vector<u8> data;
};

std::vector<u8> encode_reply(u32 id, u16 error, const std::vector<u8>& data);
std::vector<u8> encode_command(u32 id, u8 command_set, u8 command, const std::vector<u8>& data);

} // namespace jdwp
