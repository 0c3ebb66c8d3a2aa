// Builds class images and packages byte by byte for tests, independently of the linker,
// so that tests can make well-formed packages, damaged ones and unusual ones (colliding
// constant numbers, methods without code) alike.
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "mirt_cf_types.h"

namespace testing_support {

using bytes = std::vector<u8>;

inline void put_u8(bytes& out, u32 v) { out.push_back(static_cast<u8>(v)); }
inline void put_u16(bytes& out, u32 v) { put_u8(out, v), put_u8(out, v >> 8); }
inline void put_u32(bytes& out, u32 v) { put_u16(out, v), put_u16(out, v >> 16); }
inline void put_u64(bytes& out, u64 v) {
    put_u32(out, static_cast<u32>(v)), put_u32(out, static_cast<u32>(v >> 32));
}
inline void patch_u16(bytes& out, size_t at, u32 v) {
    out[at] = static_cast<u8>(v);
    out[at + 1] = static_cast<u8>(v >> 8);
}

struct method_spec {
    u16 access_flags = 0x0009; // public static
    std::string name;
    std::string descriptor;
    u16 e_method_id = 0;
    bytes code; // empty with has_code false: no attributes (a native)
    bool has_code = true;
    u16 max_stack = 10;
    u16 max_locals = 0;
    u8 locals = 0;
};

class image_builder {
  public:
    // Constants are numbered in the order they are added, from 1.
    u16 utf8(const std::string& text) {
        auto found = utf8_numbers_.find(text);
        if (found != utf8_numbers_.end()) return found->second;
        bytes record{CONSTANT_Utf8};
        put_u16(record, static_cast<u32>(text.size()));
        record.insert(record.end(), text.begin(), text.end());
        return utf8_numbers_[text] = add(record);
    }
    u16 integer(s32 value) { return add_u32(CONSTANT_Integer, static_cast<u32>(value)); }
    u16 float_constant(float value) {
        u32 bits;
        std::memcpy(&bits, &value, 4);
        return add_u32(CONSTANT_Float, bits);
    }
    u16 long_constant(s64 value) { return add_wide(CONSTANT_Long, static_cast<u64>(value)); }
    u16 double_constant(double value) {
        u64 bits;
        std::memcpy(&bits, &value, 8);
        return add_wide(CONSTANT_Double, bits);
    }
    u16 class_constant(const std::string& name) {
        u16 name_number = utf8(name);
        bytes record{CONSTANT_Class};
        put_u16(record, name_number);
        return add(record);
    }
    u16 string_constant(const std::string& text) {
        u16 text_number = utf8(text);
        bytes record{CONSTANT_String};
        put_u16(record, text_number);
        return add(record);
    }
    u16 name_and_type(const std::string& name, const std::string& descriptor) {
        u16 n = utf8(name), d = utf8(descriptor);
        bytes record{CONSTANT_NameAndType};
        put_u16(record, n), put_u16(record, d);
        return add(record);
    }
    u16 methodref(u16 class_number, const std::string& name, const std::string& descriptor) {
        u16 nat = name_and_type(name, descriptor);
        bytes record{CONSTANT_Methodref};
        put_u16(record, class_number), put_u16(record, nat);
        return add(record);
    }
    u16 raw_constant(const bytes& record) { return add(record); }

    void set_this_class(u16 number) { this_class_ = number; }
    void method(method_spec m) { methods_.push_back(std::move(m)); }

    // The image with its four-byte trailer.
    bytes build() {
        u16 code_name = 0;
        for (const method_spec& m : methods_)
            if (m.has_code) code_name = utf8("Code");
        std::vector<std::pair<u16, u16>> method_names;
        for (const method_spec& m : methods_) {
            u16 name = utf8(m.name);
            method_names.emplace_back(name, utf8(m.descriptor));
        }

        bytes out;
        const u32 pool_count = static_cast<u32>(constants_.size()) + 1;
        put_u32(out, CLASS_IMAGE_MAGIC);
        put_u16(out, pool_count);
        put_u16(out, mirt_ClassFile::size);
        put_u16(out, 0x0021);
        put_u16(out, this_class_);
        put_u16(out, 0);
        put_u16(out, 0), put_u16(out, ABSENT_SECTION);
        put_u16(out, 0), put_u16(out, ABSENT_SECTION);
        put_u16(out, static_cast<u32>(methods_.size()));
        const size_t methods_addr_at = out.size();
        put_u16(out, 0);
        put_u16(out, 0), put_u16(out, ABSENT_SECTION);

        const size_t table_at = out.size();
        for (u32 i = 0; i < pool_count; ++i) put_u16(out, NO_CONSTANT);
        for (size_t i = 0; i < constants_.size(); ++i) {
            if (constants_[i].empty()) continue; // second slot of a long or double
            patch_u16(out, table_at + 2 * i, static_cast<u32>(out.size()));
            out.insert(out.end(), constants_[i].begin(), constants_[i].end());
        }

        patch_u16(out, methods_addr_at, static_cast<u32>(out.size()));
        const size_t method_table_at = out.size();
        for (size_t i = 0; i < methods_.size(); ++i) put_u16(out, 0xAAAA);
        std::vector<size_t> attr_field_at;
        for (size_t i = 0; i < methods_.size(); ++i) {
            const method_spec& m = methods_[i];
            patch_u16(out, method_table_at + 2 * i, static_cast<u32>(out.size()));
            put_u16(out, m.access_flags);
            put_u16(out, method_names[i].first - 1u);
            put_u16(out, m.e_method_id);
            put_u16(out, method_names[i].second - 1u);
            put_u16(out, m.has_code ? 1 : 0);
            attr_field_at.push_back(out.size());
            put_u16(out, 0xFFFF);
        }
        std::vector<size_t> attr_slot_at(methods_.size(), 0);
        for (size_t i = 0; i < methods_.size(); ++i) {
            patch_u16(out, attr_field_at[i], static_cast<u32>(out.size()));
            if (methods_[i].has_code) {
                attr_slot_at[i] = out.size();
                put_u16(out, 0xCCCC);
            }
        }
        for (size_t i = 0; i < methods_.size(); ++i) {
            const method_spec& m = methods_[i];
            if (!m.has_code) continue;
            patch_u16(out, attr_slot_at[i], static_cast<u32>(out.size()));
            put_u16(out, code_name);
            put_u16(out, m.max_stack);
            put_u16(out, m.max_locals);
            put_u8(out, m.locals);
            put_u32(out, static_cast<u32>(m.code.size()));
            out.insert(out.end(), m.code.begin(), m.code.end());
        }
        put_u32(out, IMAGE_TRAILER);
        return out;
    }

  private:
    u16 add(const bytes& record) {
        constants_.push_back(record);
        return static_cast<u16>(constants_.size());
    }
    u16 add_u32(u8 tag, u32 value) {
        bytes record{tag};
        put_u32(record, value);
        return add(record);
    }
    u16 add_wide(u8 tag, u64 value) {
        bytes record{tag};
        put_u64(record, value);
        u16 number = add(record);
        constants_.emplace_back(); // the unusable second slot
        return number;
    }

    std::vector<bytes> constants_;
    std::map<std::string, u16> utf8_numbers_;
    std::vector<method_spec> methods_;
    u16 this_class_ = 0;
};

inline bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// invokestatic of constant `methodref` (opcode 0xb8, index big-endian).
inline bytes invoke(u16 methodref) {
    return {0xb8, static_cast<u8>(methodref >> 8), static_cast<u8>(methodref)};
}

inline method_spec java_method(const std::string& name, const std::string& descriptor, bytes code,
                               u16 id = 0, u16 max_locals = 0, u8 locals = 0) {
    method_spec m;
    m.name = name;
    m.descriptor = descriptor;
    m.code = std::move(code);
    m.e_method_id = id;
    m.max_locals = max_locals;
    m.locals = locals;
    return m;
}

inline method_spec native_method(const std::string& name, const std::string& descriptor, u16 id) {
    method_spec m;
    m.access_flags = 0x0109; // public static native
    m.name = name;
    m.descriptor = descriptor;
    m.e_method_id = id;
    m.has_code = false;
    return m;
}

inline method_spec main_method(bytes code, const std::string& name = "main") {
    return java_method(name, "()V", std::move(code), 102);
}

// A class `name` whose main only calls `target`.`method` `descriptor` and returns; `ref` is
// the call's constant. Constants in this order: the class itself, the target class, the
// method reference.
struct calling_class {
    image_builder image;
    u16 ref = 0;
};
inline calling_class class_calling(const std::string& name, const std::string& target,
                                   const std::string& method,
                                   const std::string& descriptor = "()V") {
    calling_class c;
    c.image.set_this_class(c.image.class_constant(name));
    c.ref = c.image.methodref(c.image.class_constant(target), method, descriptor);
    c.image.method(main_method(invoke(c.ref) + bytes{0xb1})); // return
    return c;
}

// A class `name` with `methods` and no other constants than their names.
inline image_builder class_with(const std::string& name, const std::vector<method_spec>& methods) {
    image_builder image;
    image.set_this_class(image.class_constant(name));
    for (const method_spec& m : methods) image.method(m);
    return image;
}

// A package of the given images under the given directory names, first one the start class.
inline bytes make_package(const std::vector<std::pair<std::string, bytes>>& images) {
    bytes out;
    put_u32(out, PACKAGE_MAGIC);
    put_u16(out, static_cast<u32>(images.size()));
    u32 offset = 6;
    for (const auto& image : images)
        offset += mirt2_class_info::size(static_cast<u32>(image.first.size()));
    for (const auto& [name, image] : images) {
        put_u16(out, mirt2_class_info::CLASS_ENTRY);
        put_u32(out, offset);
        put_u16(out, static_cast<u32>(name.size()));
        out.insert(out.end(), name.begin(), name.end());
        put_u8(out, 0);
        offset += static_cast<u32>(image.size());
    }
    for (const auto& image : images)
        out.insert(out.end(), image.second.begin(), image.second.end());
    return out;
}

} // namespace testing_support
