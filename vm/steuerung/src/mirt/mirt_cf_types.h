// The .prg package and class image layout, shared by the linker (which writes it) and
// by every reader of packages (which go through mirt_image.h).
//
// Each record is described by the byte offsets of its fields, not by an overlay struct:
// the loaded buffer is unaligned and little-endian whatever the host is, so fields are
// read and written byte by byte at these offsets.
#pragma once

#include "mirt_facts.h"
#include "mirt_types.h"

constexpr u32 PACKAGE_MAGIC = 0xECAFFE02;
constexpr u32 CLASS_IMAGE_MAGIC = 0xECAFFE01;

// Placeholders the writer leaves in finished images.
constexpr u16 ABSENT_SECTION = 0xDDDD; // interfaces, fields and class attributes are not carried
constexpr u16 NO_CONSTANT = 0xEEEE;    // constant slot that holds no record
constexpr u32 IMAGE_TRAILER = 0xFFFFFFFF;
constexpr u32 IMAGE_TRAILER_SIZE = 4;

// Package header, followed directly by the directory.
struct mirt2_package {
    static constexpr u32 magic = 0;            // u32
    static constexpr u32 count = 4;            // u16: number of directory entries
    static constexpr u32 first_class_info = 6; // first mirt2_class_info
};

// Directory entry; the next one begins size(length) bytes later.
struct mirt2_class_info {
    static constexpr u32 id = 0;     // u16: 1 for a class entry
    static constexpr u32 offset = 2; // u32: package offset of the class image
    static constexpr u32 length = 6; // u16: name bytes, without the terminator
    static constexpr u32 name = 8;   // name bytes, then one 0x00
    static constexpr u16 CLASS_ENTRY = 1;
    static constexpr u32 size(u32 name_length) { return 9 + name_length; }
};

// Class image header; addresses inside an image are u16 offsets from its magic.
struct mirt_ClassFile {
    static constexpr u32 magic = 0;                  // u32
    static constexpr u32 constant_pool_count = 4;    // u16
    static constexpr u32 constant_pool_addr_arr = 6; // u16, always 30
    static constexpr u32 access_flags = 8;           // u16
    static constexpr u32 this_class = 10;            // u16, constant number (1-based)
    static constexpr u32 super_class = 12;           // u16
    static constexpr u32 interfaces_count = 14;      // u16
    static constexpr u32 interfaces_offset = 16;     // u16, ABSENT_SECTION
    static constexpr u32 fields_count = 18;          // u16
    static constexpr u32 fields_offset = 20;         // u16, ABSENT_SECTION
    static constexpr u32 methods_count = 22;         // u16
    static constexpr u32 methods_addr_arr = 24;      // u16
    static constexpr u32 attributes_count = 26;      // u16
    static constexpr u32 attributes_offset = 28;     // u16, ABSENT_SECTION
    static constexpr u32 size = 30;
};

// Constant tags, as in the class file.
enum constant_tag : u8 {
    CONSTANT_Utf8 = 1,
    CONSTANT_Integer = 3,
    CONSTANT_Float = 4,
    CONSTANT_Long = 5,
    CONSTANT_Double = 6,
    CONSTANT_Class = 7,
    CONSTANT_String = 8,
    CONSTANT_Fieldref = 9,
    CONSTANT_Methodref = 10,
    CONSTANT_InterfaceMethodref = 11,
    CONSTANT_NameAndType = 12,
};

// Compact constants: every record begins with its u8 tag. Indices inside constants keep
// their class-file numbering (1-based); a constant with any other tag is the tag alone.
struct mirt_cp_info {
    static constexpr u32 tag = 0;
};
struct CONSTANT_mirt_Utf8_info_struct {
    static constexpr u32 length = 1; // u16
    static constexpr u32 bytes = 3;  // length bytes, no terminator
};
struct CONSTANT_mirt_Integer_info_struct {
    static constexpr u32 value = 1; // u32
    static constexpr u32 size = 5;
};
using CONSTANT_mirt_Float_info_struct = CONSTANT_mirt_Integer_info_struct;
struct CONSTANT_mirt_Long_info_struct {
    static constexpr u32 value = 1; // low_bytes u32, then high_bytes u32
    static constexpr u32 size = 9;
};
using CONSTANT_mirt_Double_info_struct = CONSTANT_mirt_Long_info_struct;
struct CONSTANT_mirt_Class_info_struct {
    static constexpr u32 name_index = 1; // u16
    static constexpr u32 size = 3;
};
struct CONSTANT_mirt_String_info_struct {
    static constexpr u32 string_index = 1; // u16, the constant number of its Utf8
    static constexpr u32 size = 3;
};
struct CONSTANT_mirt_Methodref_info_struct {      // also Fieldref and InterfaceMethodref
    static constexpr u32 class_index = 1;         // u16
    static constexpr u32 name_and_type_index = 3; // u16
    static constexpr u32 size = 5;
};
struct CONSTANT_mirt_NameAndType_info_struct {
    static constexpr u32 name_index = 1;       // u16
    static constexpr u32 descriptor_index = 3; // u16
    static constexpr u32 size = 5;
};

// Method record. name_index and descriptor_index are already 0-based slots.
struct mirt_method_info {
    static constexpr u32 access_flags = 0;         // u16
    static constexpr u32 name_index = 2;           // u16
    static constexpr u32 e_method_id = 4;          // u16
    static constexpr u32 descriptor_index = 6;     // u16
    static constexpr u32 attributes_count = 8;     // u16
    static constexpr u32 attributes_addr_arr = 10; // u16
    static constexpr u32 size = 12;
};
constexpr u16 ACC_NATIVE = 0x0100;

// Attribute bodies begin with the 1-based constant number of their name.
struct mirt_attribute_info {
    static constexpr u32 attribute_name_index = 0; // u16
};
struct mirt_code_attribute_struct {
    static constexpr u32 max_stack = 2;   // u16
    static constexpr u32 max_locals = 4;  // u16
    static constexpr u32 locals = 6;      // u8: base of the method's slice of the local pool
    static constexpr u32 code_length = 7; // u32
    static constexpr u32 code = 11;
};

// Declared for completeness; no image carries field records.
struct mirt_field_info {
    static constexpr u32 access_flags = 0;
    static constexpr u32 name_index = 2;
    static constexpr u32 descriptor_index = 4;
    static constexpr u32 attributes_count = 6;
    static constexpr u32 attributes_addr_arr = 8;
    static constexpr u32 size = 10;
};
