// Fixed-width numbers and the typed value every part of the VM passes around.
#pragma once

#include <cstdint>

using u8 = std::uint8_t;
using s8 = std::int8_t;
using u16 = std::uint16_t;
using s16 = std::int16_t;
using u32 = std::uint32_t;
using s32 = std::int32_t;
using u64 = std::uint64_t;
using s64 = std::int64_t;

static_assert(sizeof(float) == 4 && sizeof(double) == 8, "IEEE 754 single and double expected");

// Eight bytes of storage viewed through the member that belongs to a value's tag.
// A narrower member reads the low-order bytes of a wider one (little-endian host):
// the narrowing conversions and the value dump rely on that. U64 comes first: an empty
// initializer ({}) sets the first member only, and so zeroes all eight bytes.
union var_data {
    u64 U64;
    u8 U8;
    u16 U16;
    u32 U32;
    s8 S8;
    s16 S16;
    s32 S32;
    s64 S64;
    float F;
    double D;
};
static_assert(sizeof(var_data) == 8);

// One operand stack entry, local variable or native argument; a long or double is one entry.
struct variable {
    u8 type;
    var_data value;
};

enum type_tag : int {
    TYPE_VOID = 1,
    TYPE_REF = 2,
    TYPE_RET = 3,
    TYPE_BOOL = 4,
    TYPE_CHAR = 5,
    TYPE_FLOAT = 6,
    TYPE_DOUBLE = 7,
    TYPE_BYTE = 8,
    TYPE_SHORT = 9,
    TYPE_INT = 10,
    TYPE_LONG = 11,
    TYPE_ARGS_BEGIN = 12, // only ever a result of get_type
    TYPE_ARGS_END = 13,   // only ever a result of get_type
};

// A fresh entry with `tag` and all eight value bytes zero.
inline variable typed(u8 tag) {
    variable v;
    v.type = tag;
    v.value.U64 = 0;
    return v;
}
// A fresh entry with `tag` whose `member` holds x; the other value bytes are zero.
template <typename T> inline variable make_entry(u8 tag, T var_data::*member, T x) {
    variable v = typed(tag);
    v.value.*member = x;
    return v;
}
inline variable int_entry(s32 x) { return make_entry<s32>(TYPE_INT, &var_data::S32, x); }
inline variable long_entry(s64 x) { return make_entry<s64>(TYPE_LONG, &var_data::S64, x); }
inline variable float_entry(float x) { return make_entry<float>(TYPE_FLOAT, &var_data::F, x); }
inline variable double_entry(double x) { return make_entry<double>(TYPE_DOUBLE, &var_data::D, x); }

// Maps one method-descriptor character to a tag; -1 for characters it does not map
// ('V', '[', ';', class-name letters). It does not parse: mirt_descriptor.h does.
int get_type(char basetype);
