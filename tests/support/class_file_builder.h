// Writes class files (big-endian, as javac does) with exactly the constants, methods and
// attributes a test asks for, including kinds javac does not emit in this order.
#pragma once

#include <string>
#include <vector>

#include "mirt_types.h"

namespace testing_support {

class class_file_builder {
  public:
    using bytes = std::vector<u8>;

    static void be16(bytes& out, u32 v) {
        out.push_back(static_cast<u8>(v >> 8));
        out.push_back(static_cast<u8>(v));
    }
    static void be32(bytes& out, u32 v) {
        be16(out, v >> 16);
        be16(out, v & 0xFFFF);
    }

    // Constants are numbered from 1 in the order added; long and double take two numbers.
    u16 utf8(const std::string& text) {
        bytes c{1};
        be16(c, static_cast<u32>(text.size()));
        c.insert(c.end(), text.begin(), text.end());
        return add(c, 1);
    }
    u16 integer(u32 value) {
        bytes c{3};
        be32(c, value);
        return add(c, 1);
    }
    u16 long_constant(u64 value) {
        bytes c{5};
        be32(c, static_cast<u32>(value >> 32));
        be32(c, static_cast<u32>(value));
        return add(c, 2);
    }
    u16 double_bits(u64 value) {
        bytes c{6};
        be32(c, static_cast<u32>(value >> 32));
        be32(c, static_cast<u32>(value));
        return add(c, 2);
    }
    u16 class_constant(u16 name) { return two_byte(7, name); }
    u16 string_constant(u16 text) { return two_byte(8, text); }
    u16 name_and_type(u16 name, u16 descriptor) { return four_byte(12, name, descriptor); }
    u16 methodref(u16 class_index, u16 name_and_type_index) {
        return four_byte(10, class_index, name_and_type_index);
    }
    // Any constant given as raw bytes (tag first), taking `slots` numbers.
    u16 raw_constant(const bytes& c, u16 slots = 1) { return add(c, slots); }

    static bytes attribute(u16 name, const bytes& body) {
        bytes a;
        be16(a, name);
        be32(a, static_cast<u32>(body.size()));
        a.insert(a.end(), body.begin(), body.end());
        return a;
    }
    static bytes code_attribute(u16 name, u16 max_stack, u16 max_locals, const bytes& code,
                                const std::vector<bytes>& attributes = {}) {
        bytes body;
        be16(body, max_stack);
        be16(body, max_locals);
        be32(body, static_cast<u32>(code.size()));
        body.insert(body.end(), code.begin(), code.end());
        be16(body, 0); // exception table
        be16(body, static_cast<u32>(attributes.size()));
        for (const bytes& a : attributes) body.insert(body.end(), a.begin(), a.end());
        return attribute(name, body);
    }

    void method(u16 flags, u16 name, u16 descriptor, const std::vector<bytes>& attributes) {
        be16(methods_, flags);
        be16(methods_, name);
        be16(methods_, descriptor);
        be16(methods_, static_cast<u32>(attributes.size()));
        for (const bytes& a : attributes) methods_.insert(methods_.end(), a.begin(), a.end());
        ++methods_count_;
    }
    void class_attribute(const bytes& a) {
        class_attributes_.insert(class_attributes_.end(), a.begin(), a.end());
        ++class_attributes_count_;
    }

    // A class `name` with only main() { return; }: the package format's worked example
    // when the name is T.
    static bytes with_main(const std::string& name) {
        class_file_builder c;
        u16 self = c.utf8(name);
        c.this_class = c.class_constant(self);
        u16 main_name = c.utf8("main");
        u16 descriptor = c.utf8("()V");
        u16 code = c.utf8("Code");
        c.method(0x0009, main_name, descriptor, {code_attribute(code, 0, 0, {0xB1})});
        return c.build();
    }

    u16 access_flags = 0x0021;
    u16 this_class = 0;
    u16 super_class = 0;

    bytes build() const {
        bytes out;
        be32(out, 0xCAFEBABE);
        be16(out, 0);
        be16(out, 61);
        be16(out, next_number_);
        out.insert(out.end(), pool_.begin(), pool_.end());
        be16(out, access_flags);
        be16(out, this_class);
        be16(out, super_class);
        be16(out, 0); // interfaces
        be16(out, 0); // fields
        be16(out, methods_count_);
        out.insert(out.end(), methods_.begin(), methods_.end());
        be16(out, class_attributes_count_);
        out.insert(out.end(), class_attributes_.begin(), class_attributes_.end());
        return out;
    }

  private:
    u16 add(const bytes& c, u16 slots) {
        pool_.insert(pool_.end(), c.begin(), c.end());
        u16 number = next_number_;
        next_number_ = static_cast<u16>(next_number_ + slots);
        return number;
    }
    u16 two_byte(u8 tag, u16 a) {
        bytes c{tag};
        be16(c, a);
        return add(c, 1);
    }
    u16 four_byte(u8 tag, u16 a, u16 b) {
        bytes c{tag};
        be16(c, a), be16(c, b);
        return add(c, 1);
    }

    bytes pool_;
    u16 next_number_ = 1;
    bytes methods_;
    u16 methods_count_ = 0;
    bytes class_attributes_;
    u16 class_attributes_count_ = 0;
};

} // namespace testing_support
