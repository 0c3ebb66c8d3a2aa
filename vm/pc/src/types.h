// In-memory records of a class file, shaped like the file itself. Each record owns what it
// holds; the linker keeps every class it read until it exits.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mirt_cf_types.h"

// One constant-pool slot; only the fields of its tag are meaningful. The slot after a Long
// or Double keeps tag 0.
struct cp_info {
    u8 tag = 0;
    u16 name_index = 0;          // Class, NameAndType
    u16 class_index = 0;         // Fieldref, Methodref, InterfaceMethodref
    u16 name_and_type_index = 0; // Fieldref, Methodref, InterfaceMethodref
    u16 string_index = 0;        // String
    u16 descriptor_index = 0;    // NameAndType
    u32 bytes = 0;               // Integer, Float
    u32 high_bytes = 0;          // Long, Double
    u32 low_bytes = 0;           // Long, Double
    u16 length = 0;              // Utf8; the size option may cut it to 0
    std::string text;            // Utf8 bytes as read (never cut)
};

struct exception_table_struct {
    u16 start_pc, end_pc, handler_pc, catch_type;
};
struct line_number_table_struct {
    u16 start_pc, line_number;
};
struct local_variable_table_struct {
    u16 start_pc, length, name_index, descriptor_index, index;
};
struct classes_struct {
    u16 inner_class_info_index, outer_class_info_index, inner_name_index, inner_class_access_flags;
};

enum class attribute_kind {
    raw, // unknown name, or a name constant that is not Utf8: `info` holds the bytes
    code,
    line_number_table,
    source_file,
    local_variable_table,
    deprecated,
    synthetic,
    inner_classes,
    exceptions,
    constant_value,
    stack_map_table, // `info` holds the bytes
};

struct attribute_info {
    u16 attribute_name_index = 0;
    u32 attribute_length = 0;
    attribute_kind kind = attribute_kind::raw;
    std::vector<u8> info;
    // Code
    u16 max_stack = 0;
    u16 max_locals = 0;
    u8 locals = 0; // base of the method's slice of the VM's local pool
    std::vector<u8> code;
    std::vector<exception_table_struct> exception_table;
    std::vector<attribute_info> attributes;
    // the others
    u16 sourcefile_index = 0;
    u16 constantvalue_index = 0;
    std::vector<line_number_table_struct> line_number_table;
    std::vector<local_variable_table_struct> local_variable_table;
    std::vector<classes_struct> classes;
    std::vector<u16> exception_index_table;
};

struct field_info {
    u16 access_flags = 0, name_index = 0, descriptor_index = 0;
    std::vector<attribute_info> attributes;
};

struct method_info {
    u16 access_flags = 0, name_index = 0, descriptor_index = 0;
    u16 e_method_id = 0;
    std::vector<attribute_info> attributes;
};

struct ClassFile {
    u32 magic = 0;
    u16 minor_version = 0, major_version = 0;
    u16 constant_pool_count = 0;
    std::vector<cp_info> constant_pool; // element i holds constant #i+1
    u16 access_flags = 0, this_class = 0, super_class = 0;
    std::vector<u16> interfaces;
    std::vector<field_info> fields;
    std::vector<method_info> methods;
    std::vector<attribute_info> attributes;

    // Constant #number, or null when the number is 0 or beyond the pool.
    cp_info* constant(u32 number) {
        return number >= 1 && number <= constant_pool.size() ? &constant_pool[number - 1] : nullptr;
    }
    const cp_info* constant(u32 number) const {
        return const_cast<ClassFile*>(this)->constant(number);
    }
};

// One node per written image, after the head that names the output.
struct classfile_descriptor {
    int id = 0;   // 0 in the head, 1 in every class node
    int size = 0; // bytes of the image in the temporary file, trailer included
    std::string name;
};
