#include "file_writer.h"

#include <string_view>

#include "string_helper.h"

namespace {

constexpr u16 PLACEHOLDER_METHOD = 0xAAAA;
constexpr u16 PLACEHOLDER_ATTRIBUTES = 0xFFFF;
constexpr u16 PLACEHOLDER_ATTRIBUTE = 0xCCCC;
constexpr u32 MAX_IMAGE_SIZE = 0xFFFF; // addresses are u16

// Positions of the header fields patched once their sections are placed.
struct header_positions {
    size_t constant_pool_addr_arr;
    size_t methods_addr_arr;
};

// The full text decides the attribute kind: the size option only shortens what is
// written for a name, so a method named like an attribute keeps its Code body.
std::string_view attribute_name(const ClassFile& cf, u16 number) {
    const cp_info* c = cf.constant(number);
    return c && c->tag == CONSTANT_Utf8 ? std::string_view(c->text) : std::string_view();
}

void writeConstPool(const ClassFile& cf, std::vector<u8>& mem, const header_positions& at,
                    bool is_debug) {
    mem_set_addr(mem, at.constant_pool_addr_arr, static_cast<u32>(mem.size()));
    std::vector<size_t> slot_at;
    for (u32 i = 0; i < cf.constant_pool_count; ++i) {
        slot_at.push_back(mem.size());
        mem_u16(mem, NO_CONSTANT);
    }
    for (u32 j = 0; j + 1 < cf.constant_pool_count; ++j) {
        const cp_info& c = cf.constant_pool[j];
        mem_set_addr(mem, slot_at[j], static_cast<u32>(mem.size()));
        mem_u8(mem, c.tag);
        switch (c.tag) {
        case CONSTANT_Utf8: {
            mem_u16(mem, c.length);
            mem.insert(mem.end(), c.text.begin(), c.text.begin() + c.length);
            const std::string shown = c.text.substr(0, c.length);
            if (is_debug) std::printf("String: (%d) %s\n ", static_cast<int>(j), shown.c_str());
            break;
        }
        case CONSTANT_Integer:
        case CONSTANT_Float: mem_u32(mem, c.bytes); break;
        case CONSTANT_Long:
        case CONSTANT_Double:
            mem_u32(mem, c.low_bytes);
            mem_u32(mem, c.high_bytes);
            ++j; // the unusable second slot keeps NO_CONSTANT
            break;
        case CONSTANT_Class: mem_u16(mem, c.name_index); break;
        case CONSTANT_String: mem_u16(mem, c.string_index); break;
        case CONSTANT_Fieldref:
        case CONSTANT_Methodref:
        case CONSTANT_InterfaceMethodref:
            mem_u16(mem, c.class_index);
            mem_u16(mem, c.name_and_type_index);
            break;
        case CONSTANT_NameAndType:
            mem_u16(mem, c.name_index);
            mem_u16(mem, c.descriptor_index);
            break;
        default: std::printf("ERROR writing file: unknown constant type (%d)\n", c.tag); break;
        }
    }
}

void writeCodeAttribute(std::vector<u8>& mem, const attribute_info& ai) {
    mem_u16(mem, ai.max_stack);
    mem_u16(mem, ai.max_locals);
    mem_u8(mem, ai.locals);
    mem_u32(mem, static_cast<u32>(ai.code.size()));
    mem.insert(mem.end(), ai.code.begin(), ai.code.end());
}

void writeAttribute(const ClassFile& cf, std::vector<u8>& mem, const attribute_info& ai) {
    mem_u16(mem, ai.attribute_name_index);
    const cp_info* name = cf.constant(ai.attribute_name_index);
    if (name && name->tag == CONSTANT_Utf8) {
        const std::string_view text = attribute_name(cf, ai.attribute_name_index);
        if (text.starts_with("Code"))
            writeCodeAttribute(mem, ai);
        else if (text.starts_with("SourceFile"))
            mem_u16(mem, ai.sourcefile_index);
        else if (text.starts_with("ConstantValue"))
            mem_u16(mem, ai.constantvalue_index);
    } else {
        std::printf("==> ERROR loadAttributes: default attribure type %d ?\n",
                    name ? name->tag : 0);
        mem.insert(mem.end(), ai.info.begin(), ai.info.end());
    }
}

void writeMethods(const ClassFile& cf, std::vector<u8>& mem, const header_positions& at) {
    mem_set_addr(mem, at.methods_addr_arr, static_cast<u32>(mem.size()));
    std::vector<size_t> method_slot_at;
    for (size_t i = 0; i < cf.methods.size(); ++i) {
        method_slot_at.push_back(mem.size());
        mem_u16(mem, PLACEHOLDER_METHOD);
    }
    std::vector<size_t> attributes_field_at;
    for (size_t i = 0; i < cf.methods.size(); ++i) {
        const method_info& m = cf.methods[i];
        mem_set_addr(mem, method_slot_at[i], static_cast<u32>(mem.size()));
        mem_u16(mem, m.access_flags);
        mem_u16(mem, m.name_index - 1u);
        mem_u16(mem, m.e_method_id);
        mem_u16(mem, m.descriptor_index - 1u);
        mem_u16(mem, static_cast<u32>(m.attributes.size()));
        attributes_field_at.push_back(mem.size());
        mem_u16(mem, PLACEHOLDER_ATTRIBUTES);
    }
    // One running sequence of attribute slots over all methods.
    std::vector<size_t> attribute_slot_at;
    for (size_t i = 0; i < cf.methods.size(); ++i) {
        mem_set_addr(mem, attributes_field_at[i], static_cast<u32>(mem.size()));
        for (size_t k = 0; k < cf.methods[i].attributes.size(); ++k) {
            attribute_slot_at.push_back(mem.size());
            mem_u16(mem, PLACEHOLDER_ATTRIBUTE);
        }
    }
    size_t next = 0;
    for (const method_info& m : cf.methods) {
        for (const attribute_info& ai : m.attributes) {
            mem_set_addr(mem, attribute_slot_at[next++], static_cast<u32>(mem.size()));
            writeAttribute(cf, mem, ai);
        }
    }
}

} // namespace

void mem_u8(std::vector<u8>& mem, u32 value) { mem.push_back(static_cast<u8>(value)); }
void mem_u16(std::vector<u8>& mem, u32 value) {
    mem_u8(mem, value);
    mem_u8(mem, value >> 8);
}
void mem_u32(std::vector<u8>& mem, u32 value) {
    mem_u16(mem, value & 0xFFFF);
    mem_u16(mem, value >> 16);
}
void mem_set_addr(std::vector<u8>& mem, size_t addr, u32 value) {
    mem[addr] = static_cast<u8>(value);
    mem[addr + 1] = static_cast<u8>(value >> 8);
}
void file_u8(std::FILE* file, u32 value) { std::fputc(static_cast<u8>(value), file); }
void file_u16(std::FILE* file, u32 value) {
    file_u8(file, value);
    file_u8(file, value >> 8);
}
void file_u32(std::FILE* file, u32 value) {
    file_u16(file, value & 0xFFFF);
    file_u16(file, value >> 16);
}

std::vector<u8> build_class_image(const ClassFile& cf, bool is_debug) {
    std::vector<u8> mem;
    header_positions at{};
    mem_u32(mem, CLASS_IMAGE_MAGIC);
    mem_u16(mem, cf.constant_pool_count);
    at.constant_pool_addr_arr = mem.size();
    mem_u16(mem, ABSENT_SECTION);
    mem_u16(mem, cf.access_flags);
    mem_u16(mem, cf.this_class);
    mem_u16(mem, cf.super_class);
    mem_u16(mem, static_cast<u32>(cf.interfaces.size()));
    mem_u16(mem, ABSENT_SECTION);
    mem_u16(mem, static_cast<u32>(cf.fields.size()));
    mem_u16(mem, ABSENT_SECTION);
    mem_u16(mem, static_cast<u32>(cf.methods.size()));
    at.methods_addr_arr = mem.size();
    mem_u16(mem, ABSENT_SECTION);
    mem_u16(mem, static_cast<u32>(cf.attributes.size()));
    mem_u16(mem, ABSENT_SECTION);
    writeConstPool(cf, mem, at, is_debug);
    writeMethods(cf, mem, at);
    return mem;
}

int write_tmp_file(const ClassFile& cf, std::FILE* out, bool is_debug) {
    std::vector<u8> mem = build_class_image(cf, is_debug);
    // Addresses past 65535 would wrap and point at the wrong bytes.
    if (mem.size() > MAX_IMAGE_SIZE) {
        std::printf("ERROR: class image of %zu bytes is too big: addresses reach %u bytes\n",
                    mem.size(), MAX_IMAGE_SIZE);
        return -1;
    }
    std::fwrite(mem.data(), 1, mem.size(), out);
    file_u32(out, IMAGE_TRAILER);
    const int size = static_cast<int>(mem.size() + IMAGE_TRAILER_SIZE);
    if (is_debug) std::printf("%d Bytes written\n", size);
    return size;
}

int write_prg_file(std::vector<classfile_descriptor>& classfile_list, std::FILE* tmpfile,
                   std::FILE* output, bool /*is_debug*/) {
    if (classfile_list.size() < 2) return -1; // the head alone: no class to package
    int offset = 0;
    int file_count = 0;
    for (size_t i = 1; i < classfile_list.size(); ++i) {
        classfile_descriptor& node = classfile_list[i];
        std::printf("file: %s        %d Bytes\n", node.name.c_str(), node.size);
        node.name = file2class_name(node.name);
        ++file_count;
        offset += static_cast<int>(mirt2_class_info::size(static_cast<u32>(node.name.size())));
    }
    file_u32(output, PACKAGE_MAGIC);
    file_u16(output, static_cast<u32>(file_count));
    offset += mirt2_package::first_class_info; // magic and count come first
    for (size_t i = 1; i < classfile_list.size(); ++i) {
        const classfile_descriptor& node = classfile_list[i];
        file_u16(output, static_cast<u32>(node.id));
        file_u32(output, static_cast<u32>(offset));
        file_u16(output, static_cast<u32>(node.name.size()));
        std::fwrite(node.name.data(), 1, node.name.size(), output);
        file_u8(output, 0);
        offset += node.size;
    }
    std::printf("overall size:   %d Bytes\n", offset);
    std::rewind(tmpfile);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, tmpfile)) > 0) std::fwrite(chunk, 1, n, output);
    if (offset > static_cast<int>(MAX_PACKAGE_SIZE)) {
        std::printf("ERROR: .prg file is too big: %d Bytes / %d Bytes max\n", offset,
                    static_cast<int>(MAX_PACKAGE_SIZE));
        return -1;
    }
    return offset;
}
