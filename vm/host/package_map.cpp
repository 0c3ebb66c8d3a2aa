#include "package_map.h"

#include <cstdio>
#include <sstream>

#include "host_files.h"
#include "mirt_image.h"

namespace mapfile {

namespace {

constexpr const char* MAGIC_LINE = "mirt-map 1";

struct damaged_package {
    std::string what;
};

[[noreturn]] void throw_damaged(image_problem, s64 a, s64 b) {
    char line[96];
    std::snprintf(line, sizeof line, "damaged package (%lld, %lld)", static_cast<long long>(a),
                  static_cast<long long>(b));
    throw damaged_package{line};
}

std::string text_of(image_text t) {
    return std::string(reinterpret_cast<const char*>(t.bytes), t.length);
}

// Names may be empty (-OS): written as "-" so that every record keeps its fields.
std::string field(const std::string& s) { return s.empty() ? "-" : s; }
std::string unfield(const std::string& s) { return s == "-" ? "" : s; }

} // namespace

u32 posix_cksum(const u8* data, size_t size) {
    static const auto table = [] {
        std::vector<u32> t(256);
        for (u32 i = 0; i < 256; ++i) {
            u32 c = i << 24;
            for (int k = 0; k < 8; ++k) c = c & 0x80000000u ? c << 1 ^ 0x04C11DB7u : c << 1;
            t[i] = c;
        }
        return t;
    }();
    u32 crc = 0;
    auto add = [&](u8 byte) { crc = crc << 8 ^ table[(crc >> 24 ^ byte) & 0xFF]; };
    for (size_t i = 0; i < size; ++i) add(data[i]);
    for (size_t n = size; n; n >>= 8) add(static_cast<u8>(n));
    return ~crc;
}

bool describe_package(const std::vector<u8>& package, package_map& map, std::string& problem) {
    map = package_map{};
    map.size = static_cast<u32>(package.size());
    map.cksum = posix_cksum(package.data(), package.size());
    const package_bytes bytes(package.data(), map.size, throw_damaged);
    try {
        const package_directory directory(&bytes);
        std::vector<directory_entry> entries;
        for (u32 i = 0, at = mirt2_package::first_class_info; i < directory.count(); ++i) {
            entries.push_back(directory.entry_at(at));
            at = entries.back().next;
        }
        for (size_t i = 0; i < entries.size(); ++i) {
            const directory_entry& e = entries[i];
            class_entry c;
            c.name = text_of(e.name);
            c.entry = e.at;
            c.offset = e.offset;
            c.size = (i + 1 < entries.size() ? entries[i + 1].offset : map.size) - e.offset;
            const class_image image{&bytes, e.offset};
            c.constants = image.header(mirt_ClassFile::methods_addr_arr) -
                          image.header(mirt_ClassFile::constant_pool_addr_arr);
            for (u32 n = 1; n < image.constant_pool_count(); ++n) {
                const auto record = image.find_constant(n);
                if (record && image.constant_tag_at(*record) == CONSTANT_Utf8)
                    c.names +=
                        3 + image.constant_u16(*record, CONSTANT_mirt_Utf8_info_struct::length);
            }
            for (u16 m = 0; m < image.methods_count(); ++m) {
                method_entry me;
                me.index = m;
                me.record = image.method(m);
                me.name = text_of(image.method_name(me.record));
                me.descriptor = text_of(image.method_descriptor(me.record));
                me.id = image.method_field(me.record, mirt_method_info::e_method_id);
                me.flags = image.method_field(me.record, mirt_method_info::access_flags);
                if (!(me.flags & ACC_NATIVE) &&
                    image.method_field(me.record, mirt_method_info::attributes_count)) {
                    const code_info code = image.code(me.record, m);
                    me.code = static_cast<u32>(code.begin - package.data());
                    me.length = static_cast<u32>(code.end - code.begin);
                    me.locals_first = code.locals;
                    me.locals_count = code.max_locals;
                    c.code += me.length;
                }
                c.methods.push_back(me);
            }
            map.classes.push_back(c);
        }
    } catch (const damaged_package& d) {
        problem = d.what;
        return false;
    }
    return true;
}

std::string write_map(const package_map& map) {
    // Built by appending: a name is as long as the class file makes it, and a fixed line
    // buffer cut long ones, leaving a map that reads back as another or not at all.
    using std::to_string;
    std::string out = std::string(MAGIC_LINE) + "\n";
    out += "package size " + to_string(map.size) + " cksum " + to_string(map.cksum) + "\n";
    for (const class_entry& c : map.classes) {
        out += "class " + field(c.name) + " entry " + to_string(c.entry) + " offset " +
               to_string(c.offset) + " size " + to_string(c.size) + " constants " +
               to_string(c.constants) + " names " + to_string(c.names) + " code " +
               to_string(c.code);
        if (!c.source.empty()) out += " source " + c.source;
        out += "\n";
        for (const method_entry& m : c.methods) {
            char flags[8];
            std::snprintf(flags, sizeof flags, "%04x", m.flags);
            out += "method " + field(c.name) + " " + to_string(m.index) + " " + field(m.name) +
                   " " + field(m.descriptor) + " id " + to_string(m.id) + " flags 0x" + flags +
                   " record " + to_string(m.record) + " code " + to_string(m.code) + " length " +
                   to_string(m.length) + " ";
            if (m.locals_count)
                out += "locals " + to_string(m.locals_first) + ".." +
                       to_string(m.locals_first + m.locals_count - 1) + "\n";
            else
                out += "locals none\n";
            for (const line_entry& l : m.lines)
                out += "line " + field(c.name) + " " + to_string(m.index) + " " +
                       to_string(l.code_offset) + " " + to_string(l.line) + "\n";
            for (const local_entry& l : m.locals)
                out += "local " + field(c.name) + " " + to_string(m.index) + " " +
                       to_string(l.start) + " " + to_string(l.length) + " " +
                       to_string(l.slot) + " " + field(l.name) + " " + field(l.descriptor) +
                       "\n";
        }
    }
    return out;
}

bool parse_map(const std::string& text, package_map& map, std::string& problem) {
    map = package_map{};
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto fail = [&](const char* why) {
        problem = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    if (!std::getline(in, line) || line != MAGIC_LINE) {
        problem = "it does not begin with \"mirt-map 1\"";
        return false;
    }
    number = 1;
    bool seen_package = false;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream fields(line);
        std::string kind, key;
        fields >> kind;
        if (kind == "package") {
            std::string k1, k2;
            if (!(fields >> k1 >> map.size >> k2 >> map.cksum) || k1 != "size" || k2 != "cksum")
                return fail("a package record needs size and cksum");
            seen_package = true;
        } else if (kind == "class") {
            class_entry c;
            std::string k[7];
            if (!(fields >> c.name >> k[0] >> c.entry >> k[1] >> c.offset >> k[2] >> c.size >>
                  k[3] >> c.constants >> k[4] >> c.names >> k[5] >> c.code))
                return fail("a class record is incomplete");
            c.name = unfield(c.name);
            if (fields >> k[6]) {
                if (k[6] != "source") return fail("unknown field in a class record");
                std::getline(fields >> std::ws, c.source);
            }
            map.classes.push_back(c);
        } else if (kind == "method") {
            method_entry m;
            std::string owner, k[6], locals;
            unsigned index = 0, flags = 0;
            if (!(fields >> owner >> index >> m.name >> m.descriptor >> k[0] >> m.id >> k[1] >>
                  std::hex >> flags >> std::dec >> k[2] >> m.record >> k[3] >> m.code >> k[4] >>
                  m.length >> k[5] >> locals))
                return fail("a method record is incomplete");
            if (map.classes.empty() || unfield(owner) != map.classes.back().name)
                return fail("a method record outside its class");
            m.index = static_cast<u16>(index);
            m.flags = static_cast<u16>(flags);
            if (locals != "none") {
                unsigned first = 0, last = 0;
                char dots[2] = {};
                std::istringstream window(locals);
                if (!(window >> first >> dots[0] >> dots[1] >> last) || dots[0] != '.' ||
                    dots[1] != '.' || last < first || last > 0xFFFF)
                    return fail("a method record's locals are not <first>..<last>");
                m.locals_first = static_cast<u16>(first);
                m.locals_count = static_cast<u16>(last - first + 1);
            }
            m.name = unfield(m.name);
            m.descriptor = unfield(m.descriptor);
            map.classes.back().methods.push_back(m);
        } else if (kind == "line") {
            std::string owner;
            unsigned index = 0;
            line_entry l{};
            if (!(fields >> owner >> index >> l.code_offset >> l.line))
                return fail("a line record is incomplete");
            if (map.classes.empty() || map.classes.back().methods.empty() ||
                map.classes.back().methods.back().index != index)
                return fail("a line record outside its method");
            map.classes.back().methods.back().lines.push_back(l);
        } else if (kind == "local") {
            std::string owner;
            unsigned index = 0;
            local_entry l{};
            if (!(fields >> owner >> index >> l.start >> l.length >> l.slot >> l.name >>
                  l.descriptor))
                return fail("a local record is incomplete");
            if (map.classes.empty() || map.classes.back().methods.empty() ||
                map.classes.back().methods.back().index != index)
                return fail("a local record outside its method");
            l.name = unfield(l.name);
            l.descriptor = unfield(l.descriptor);
            map.classes.back().methods.back().locals.push_back(l);
        } else if (!kind.empty()) {
            return fail("unknown record");
        }
    }
    if (!seen_package) {
        problem = "it has no package record";
        return false;
    }
    return true;
}

bool load_map_for(const char* path, const std::vector<u8>& package, package_map& map,
                  std::string& problem) {
    // A map is small; one that is not is not a map.
    host::read_result file = host::read_regular_file(path, 16u << 20);
    if (!file.ok) {
        problem = "the map " + std::string(path) + " cannot be read (" +
                  (file.too_large ? "too large" : file.problem) + ")";
        return false;
    }
    std::string why;
    if (!parse_map(std::string(file.bytes.begin(), file.bytes.end()), map, why)) {
        problem = std::string(path) + " is not a map: " + why;
        return false;
    }
    const u32 cksum = posix_cksum(package.data(), package.size());
    if (map.size != package.size() || map.cksum != cksum) {
        problem = "the map " + std::string(path) + " does not belong to this package (it is of " +
                  std::to_string(map.size) + " bytes with cksum " + std::to_string(map.cksum) +
                  ", the package has " + std::to_string(package.size()) + " bytes with cksum " +
                  std::to_string(cksum) + ")";
        return false;
    }
    return true;
}

const method_entry* find_method(const package_map& map, u32 image_offset, u16 index,
                                const class_entry** owner) {
    for (const class_entry& c : map.classes) {
        if (c.offset != image_offset) continue;
        for (const method_entry& m : c.methods) {
            if (m.index != index) continue;
            if (owner) *owner = &c;
            return &m;
        }
    }
    return nullptr;
}

std::string source_place(const class_entry& owner, u32 line) {
    return (owner.source.empty() ? std::string("?") : owner.source) + ":" + std::to_string(line);
}

u32 line_of(const method_entry& method, u32 code_offset) {
    u32 line = 0, best = 0;
    bool found = false;
    for (const line_entry& l : method.lines) {
        if (l.code_offset <= code_offset && (!found || l.code_offset >= best)) {
            best = l.code_offset;
            line = l.line;
            found = true;
        }
    }
    return line;
}

} // namespace mapfile
