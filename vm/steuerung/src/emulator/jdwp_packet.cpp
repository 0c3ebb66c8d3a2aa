#include "jdwp_packet.h"

namespace jdwp {

namespace {

u32 be32(const u8* p) {
    return static_cast<u32>(p[0]) << 24 | static_cast<u32>(p[1]) << 16 |
           static_cast<u32>(p[2]) << 8 | p[3];
}

std::vector<u8> encode(u32 id, u8 flags, u8 a, u8 b, const std::vector<u8>& data) {
    writer w;
    w.u32_(static_cast<u32>(HEADER_BYTES + data.size())).u32_(id).byte(flags).byte(a).byte(b);
    w.data.insert(w.data.end(), data.begin(), data.end());
    return w.data;
}

} // namespace

scan read_packet(const u8* bytes, size_t size, packet& out, size_t& used) {
    if (size < 4) return scan::incomplete;
    const u32 length = be32(bytes);
    if (length < HEADER_BYTES || length > MAX_PACKET_BYTES) return scan::refused;
    if (size < length) return scan::incomplete;
    out.id = be32(bytes + 4);
    out.flags = bytes[8];
    if (out.flags & REPLY_FLAG) {
        out.error = static_cast<u16>(bytes[9] << 8 | bytes[10]);
        out.command_set = out.command = 0;
    } else {
        out.error = 0;
        out.command_set = bytes[9];
        out.command = bytes[10];
    }
    out.data.assign(bytes + HEADER_BYTES, bytes + length);
    used = length;
    return scan::complete;
}

u8 reader::byte() {
    if (at_ >= data_.size()) {
        failed_ = true;
        return 0;
    }
    return data_[at_++];
}

u32 reader::u32_() {
    u32 v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | byte();
    return v;
}

u64 reader::u64_() {
    const u64 high = u32_();
    return high << 32 | u32_();
}

std::string reader::string() {
    const u32 length = u32_();
    if (failed_ || length > data_.size() - at_) {
        failed_ = true;
        return {};
    }
    std::string s(data_.begin() + static_cast<std::ptrdiff_t>(at_),
                  data_.begin() + static_cast<std::ptrdiff_t>(at_ + length));
    at_ += length;
    return s;
}

writer& writer::u32_(u32 v) {
    for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<u8>(v >> shift));
    return *this;
}

writer& writer::u64_(u64 v) {
    u32_(static_cast<u32>(v >> 32));
    return u32_(static_cast<u32>(v));
}

writer& writer::string(const std::string& s) {
    u32_(static_cast<u32>(s.size()));
    data.insert(data.end(), s.begin(), s.end());
    return *this;
}

std::vector<u8> encode_reply(u32 id, u16 error, const std::vector<u8>& data) {
    return encode(id, REPLY_FLAG, static_cast<u8>(error >> 8), static_cast<u8>(error), data);
}

std::vector<u8> encode_command(u32 id, u8 command_set, u8 command, const std::vector<u8>& data) {
    return encode(id, 0, command_set, command, data);
}

} // namespace jdwp
