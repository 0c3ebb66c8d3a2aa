#include "classloader.h"

#include <sys/stat.h>

#include <cstdio>
#include <string_view>

#include "command_line.h"
#include "host_files.h"

u8 local_var_idx = 0;

namespace {

// A class file that cannot be read on; `message` has already the text to print.
struct class_file_error {
    std::string message;
};

template <typename... Args> std::string format_message(const char* format, Args... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    return line;
}

// The one checked byte source of the reader: big-endian reads that refuse to pass the end.
class class_source {
  public:
    explicit class_source(std::vector<u8> data) : data_(std::move(data)) {}

    u8 read_u8() {
        if (pos_ >= data_.size()) cut();
        return data_[pos_++];
    }
    u16 read_u16() {
        u16 high = read_u8();
        return static_cast<u16>(high << 8 | read_u8());
    }
    u32 read_u32() {
        u32 high = read_u16();
        return high << 16 | read_u16();
    }
    std::vector<u8> read_bytes(u32 count) {
        if (count > data_.size() - pos_) cut();
        std::vector<u8> out(data_.begin() + static_cast<long>(pos_),
                            data_.begin() + static_cast<long>(pos_ + count));
        pos_ += count;
        return out;
    }
    // Bytes consumed so far; the traces show it.
    u32 addr() const { return static_cast<u32>(pos_); }

    const char* section = "header";

  private:
    [[noreturn]] void cut() const {
        throw class_file_error{format_message("class file ends early: %zu bytes, cut in the %s\n",
                                              data_.size(), section)};
    }

    std::vector<u8> data_;
    size_t pos_ = 0;
};

// Module state of one read.
ClassFile* cf = nullptr;
class_source* in = nullptr;
bool is_debug = false;
u32 last_addr = 0;

// Attributes inside Code attributes are read recursively; a file cannot nest them deeper.
constexpr int MAX_ATTRIBUTE_NESTING = 8;
constexpr u32 CLASS_FILE_MAGIC = 0xCAFEBABE;
constexpr const char* PROGRAM = "mirt_linker"; // names the reasons on standard error

void trace_addr(const char* format) {
    if (is_debug) std::printf(format, in->addr());
}

const cp_info& utf8_constant(u16 number, const char* what) {
    const cp_info* c = cf->constant(number);
    if (!c)
        throw class_file_error{
            format_message("%s names constant %d, which is not in the pool\n", what, number)};
    if (c->tag != CONSTANT_Utf8)
        throw class_file_error{format_message(
            "%s names constant %d, which is no Utf8 constant (tag %d)\n", what, number, c->tag)};
    return *c;
}

void loadConstPool(u32 count) {
    in->section = "constant pool";
    // Slots are added as they are read: a count far beyond what the file holds ends with
    // the file, not with the allocation of 65535 empty slots first.
    cf->constant_pool.clear();
    trace_addr("LOAD: constant pool: 0x%02x - ");
    for (u32 i = 0; i < count; ++i) {
        cp_info& c = cf->constant_pool.emplace_back();
        c.tag = in->read_u8();
        switch (c.tag) {
        case CONSTANT_Utf8: {
            c.length = in->read_u16();
            std::vector<u8> text = in->read_bytes(c.length);
            c.text.assign(text.begin(), text.end());
            if (is_debug) std::printf("String: (%d) %s\n ", static_cast<int>(i), c.text.c_str());
            break;
        }
        case CONSTANT_Integer:
        case CONSTANT_Float: c.bytes = in->read_u32(); break;
        case CONSTANT_Long:
        case CONSTANT_Double:
            c.high_bytes = in->read_u32();
            c.low_bytes = in->read_u32();
            // The next slot is unusable and stays unset.
            if (++i < count) cf->constant_pool.emplace_back();
            break;
        case CONSTANT_Class: c.name_index = in->read_u16(); break;
        case CONSTANT_String: c.string_index = in->read_u16(); break;
        case CONSTANT_Fieldref:
        case CONSTANT_Methodref:
        case CONSTANT_InterfaceMethodref:
            c.class_index = in->read_u16();
            c.name_and_type_index = in->read_u16();
            break;
        case CONSTANT_NameAndType:
            c.name_index = in->read_u16();
            c.descriptor_index = in->read_u16();
            break;
        // Kinds newer than the image format: reported, read with their real sizes so the
        // rest of the class stays in step, and carried as the tag alone.
        case 15: // MethodHandle
            std::printf("ERROR parsing file: unknown constant type (%d)\n", c.tag);
            in->read_u8();
            in->read_u16();
            break;
        case 16: // MethodType
        case 19: // Module
        case 20: // Package
            std::printf("ERROR parsing file: unknown constant type (%d)\n", c.tag);
            in->read_u16();
            break;
        case 17: // Dynamic
        case 18: // InvokeDynamic
            std::printf("ERROR parsing file: unknown constant type (%d)\n", c.tag);
            in->read_u16();
            in->read_u16();
            break;
        default:
            // Its size is unknown, so nothing after it can be read correctly.
            throw class_file_error{
                format_message("ERROR parsing file: unknown constant type (%d)\n", c.tag)};
        }
    }
    trace_addr("0x%02x\n");
}

std::vector<attribute_info> loadAttributes(u32 count, int depth);

void loadCodeAttribute(attribute_info& a, int depth) {
    a.kind = attribute_kind::code;
    a.max_stack = in->read_u16();
    a.max_locals = in->read_u16();
    a.locals = local_var_idx;
    local_var_idx = static_cast<u8>(local_var_idx + a.max_locals);
    u32 code_length = in->read_u32();
    a.code = in->read_bytes(code_length);
    u16 exception_table_length = in->read_u16();
    for (u32 i = 0; i < exception_table_length; ++i) {
        exception_table_struct e;
        e.start_pc = in->read_u16();
        e.end_pc = in->read_u16();
        e.handler_pc = in->read_u16();
        e.catch_type = in->read_u16();
        a.exception_table.push_back(e);
    }
    u16 attributes_count = in->read_u16();
    a.attributes = loadAttributes(attributes_count, depth + 1);
}

void loadLineNumberTableAttribute(attribute_info& a) {
    a.kind = attribute_kind::line_number_table;
    u16 n = in->read_u16();
    for (u32 i = 0; i < n; ++i) {
        line_number_table_struct e;
        e.start_pc = in->read_u16();
        e.line_number = in->read_u16();
        a.line_number_table.push_back(e);
    }
}

void loadSourceFileAttribute(attribute_info& a) {
    a.kind = attribute_kind::source_file;
    a.sourcefile_index = in->read_u16();
}

void loadLocalVariableTableAttribute(attribute_info& a) {
    a.kind = attribute_kind::local_variable_table;
    u16 n = in->read_u16();
    for (u32 i = 0; i < n; ++i) {
        local_variable_table_struct e;
        e.start_pc = in->read_u16();
        e.length = in->read_u16();
        e.name_index = in->read_u16();
        e.descriptor_index = in->read_u16();
        e.index = in->read_u16();
        a.local_variable_table.push_back(e);
    }
}

void loadDeprecatedAttribute(attribute_info& a) { a.kind = attribute_kind::deprecated; }
void loadSyntheticAttribute(attribute_info& a) { a.kind = attribute_kind::synthetic; }

void loadInnerClassesAttribute(attribute_info& a) {
    a.kind = attribute_kind::inner_classes;
    u16 n = in->read_u16();
    for (u32 i = 0; i < n; ++i) {
        classes_struct e;
        e.inner_class_info_index = in->read_u16();
        e.outer_class_info_index = in->read_u16();
        e.inner_name_index = in->read_u16();
        e.inner_class_access_flags = in->read_u16();
        a.classes.push_back(e);
    }
}

void loadExceptionsAttribute(attribute_info& a) {
    a.kind = attribute_kind::exceptions;
    u16 n = in->read_u16();
    for (u32 i = 0; i < n; ++i) a.exception_index_table.push_back(in->read_u16());
}

void loadConstantValueAttribute(attribute_info& a) {
    a.kind = attribute_kind::constant_value;
    a.constantvalue_index = in->read_u16();
}

void loadStackMapTable(attribute_info& a) {
    a.kind = attribute_kind::stack_map_table;
    a.info = in->read_bytes(a.attribute_length);
}

std::vector<attribute_info> loadAttributes(u32 count, int depth) {
    std::vector<attribute_info> attributes;
    if (count == 0) return attributes;
    if (depth > MAX_ATTRIBUTE_NESTING) throw class_file_error{"attributes are nested too deeply\n"};
    for (u32 i = 0; i < count; ++i) {
        in->section = "attributes";
        attribute_info a;
        a.attribute_name_index = in->read_u16();
        a.attribute_length = in->read_u32();
        const u32 body_start = in->addr();
        const cp_info* name = cf->constant(a.attribute_name_index);
        if (!name)
            throw class_file_error{
                format_message("attribute name is constant %d, which is not in the pool\n",
                               a.attribute_name_index)};
        if (name->tag == CONSTANT_Utf8) {
            const std::string_view text(name->text.data(), name->length);
            if (text.starts_with("Code")) {
                trace_addr("LOAD: code: 0x%02x - ");
                in->section = "Code attribute";
                loadCodeAttribute(a, depth);
                trace_addr("0x%02x\n");
            } else if (text.starts_with("LineNumberTable")) {
                loadLineNumberTableAttribute(a);
            } else if (text.starts_with("SourceFile")) {
                loadSourceFileAttribute(a);
            } else if (text.starts_with("LocalVariable")) { // also LocalVariableTypeTable
                loadLocalVariableTableAttribute(a);
            } else if (text.starts_with("Deprecated")) {
                loadDeprecatedAttribute(a);
            } else if (text.starts_with("Synthetic")) {
                loadSyntheticAttribute(a);
            } else if (text.starts_with("InnerClasses")) {
                loadInnerClassesAttribute(a);
            } else if (text.starts_with("Exceptions")) {
                loadExceptionsAttribute(a);
            } else if (text.starts_with("ConstantValue")) {
                loadConstantValueAttribute(a);
            } else if (text.starts_with("StackMapTable")) {
                loadStackMapTable(a);
            } else {
                std::printf("==> ERROR loadAttributes: String Type %s\n", name->text.c_str());
                a.info = in->read_bytes(a.attribute_length);
            }
        } else {
            std::printf("==> ERROR loadAttributes: default attribure type %d ?\n", name->tag);
            a.info = in->read_bytes(a.attribute_length);
        }
        // A body that does not fill its declared length would put every later read out of
        // step (an attribute that only shares a known name's prefix, or a damaged file).
        const u32 consumed = in->addr() - body_start;
        if (consumed != a.attribute_length)
            throw class_file_error{
                format_message("attribute %s declares %u bytes but its contents take %u\n",
                               name->tag == CONSTANT_Utf8 ? name->text.c_str() : "(unnamed)",
                               a.attribute_length, consumed)};
        attributes.push_back(std::move(a));
    }
    return attributes;
}

std::vector<u16> loadInterfaces(u32 count) {
    in->section = "interfaces";
    std::vector<u16> interfaces;
    for (u32 i = 0; i < count; ++i) interfaces.push_back(in->read_u16());
    return interfaces;
}

std::vector<field_info> loadFields(u32 count) {
    std::vector<field_info> fields;
    for (u32 i = 0; i < count; ++i) {
        in->section = "fields";
        field_info f;
        f.access_flags = in->read_u16();
        f.name_index = in->read_u16();
        f.descriptor_index = in->read_u16();
        u16 attributes_count = in->read_u16();
        f.attributes = loadAttributes(attributes_count, 0);
        fields.push_back(std::move(f));
    }
    return fields;
}

std::vector<method_info> loadMethods(u32 count) {
    std::vector<method_info> methods;
    for (u32 i = 0; i < count; ++i) {
        in->section = "methods";
        trace_addr("LOAD: method info addr : 0x%02x ");
        method_info m;
        m.access_flags = in->read_u16();
        m.name_index = in->read_u16();
        m.descriptor_index = in->read_u16();
        u16 attributes_count = in->read_u16();
        // The image and the VM read both as text; they must be Utf8 constants.
        const cp_info& name = utf8_constant(m.name_index, "method name");
        utf8_constant(m.descriptor_index, "method descriptor");
        m.attributes = loadAttributes(attributes_count, 0);
        if (is_debug)
            std::printf("idx: %d name (%d): %s\n", static_cast<int>(i), m.name_index,
                        name.text.c_str());
        m.e_method_id = 0;
        methods.push_back(std::move(m));
    }
    return methods;
}

} // namespace

u32 get_max_addr() { return last_addr; }

bool has_class_file_magic(const std::vector<u8>& bytes) {
    return bytes.size() >= 4 && (u32{bytes[0]} << 24 | u32{bytes[1]} << 16 | u32{bytes[2]} << 8 |
                                 u32{bytes[3]}) == CLASS_FILE_MAGIC;
}

std::unique_ptr<ClassFile> read_class_bytes(std::vector<u8> data, bool debug) {
    is_debug = debug;
    auto record = std::make_unique<ClassFile>();
    class_source source(std::move(data));
    cf = record.get();
    in = &source;
    try {
        cf->magic = in->read_u32();
        if (cf->magic != CLASS_FILE_MAGIC)
            std::printf("bad magic number: %4x; should be %4x.\n", cf->magic, CLASS_FILE_MAGIC);
        cf->minor_version = in->read_u16();
        cf->major_version = in->read_u16();
        cf->constant_pool_count = in->read_u16();
        if (cf->constant_pool_count == 0)
            throw class_file_error{"constant_pool_count is 0; it counts one more than the pool\n"};
        loadConstPool(cf->constant_pool_count - 1u);
        in->section = "header";
        cf->access_flags = in->read_u16();
        cf->this_class = in->read_u16();
        cf->super_class = in->read_u16();
        u16 interfaces_count = in->read_u16();
        cf->interfaces = loadInterfaces(interfaces_count);
        in->section = "header";
        u16 fields_count = in->read_u16();
        cf->fields = loadFields(fields_count);
        in->section = "header";
        u16 methods_count = in->read_u16();
        cf->methods = loadMethods(methods_count);
        in->section = "header";
        u16 attributes_count = in->read_u16();
        cf->attributes = loadAttributes(attributes_count, 0);
    } catch (const class_file_error& failure) {
        std::printf("%s", failure.message.c_str());
        record.reset();
    }
    last_addr = source.addr();
    cf = nullptr;
    in = nullptr;
    return record;
}

std::unique_ptr<ClassFile> read_class_file(const std::string& filename, bool debug) {
    last_addr = 0;
    std::printf("loading file: %s\n", filename.c_str());
    host::read_result file = host::read_regular_file(filename.c_str(), MAX_CLASS_FILE_SIZE);
    if (file.too_large) {
        std::printf("file not readable: more than %u bytes, far more than a package can hold\n",
                    MAX_CLASS_FILE_SIZE);
        host::report_file_problem(PROGRAM, filename.c_str(), "too large for a class file");
        return nullptr;
    }
    if (!file.ok) {
        // A path that cannot be opened keeps the plain message; anything else says what
        // the path names.
        const auto what = host::identity_of(filename.c_str());
        if (what && !S_ISREG(what->mode))
            std::printf("file not readable: %s is %s, not a class file\n", filename.c_str(),
                        file.problem.c_str());
        else
            std::printf("file not readable\n");
        host::report_file_problem(PROGRAM, filename.c_str(), file.problem);
        return nullptr;
    }
    const bool class_magic = has_class_file_magic(file.bytes);
    std::unique_ptr<ClassFile> record = read_class_bytes(std::move(file.bytes), debug);
    if (!record)
        host::report_file_problem(PROGRAM, filename.c_str(),
                                  class_magic ? "a damaged class file"
                                              : "not a class file (javac makes one from a .java "
                                                "file)");
    return record;
}
