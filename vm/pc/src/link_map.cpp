#include "link_map.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "file_converter.h"
#include "file_writer.h"

namespace {

std::string full_text(const ClassFile& cf, u16 number) {
    const cp_info* c = cf.constant(number);
    return c && c->tag == CONSTANT_Utf8 ? c->text : std::string();
}

const attribute_info* code_attribute(const method_info& m) {
    for (const attribute_info& a : m.attributes)
        if (a.kind == attribute_kind::code) return &a;
    return nullptr;
}

// Bytes an image loses when the size option removes its method names: the image built from
// a copy with the option, against the image as linked (0 for a class linked with it).
u32 size_option_saving(const ClassFile& cf) {
    ClassFile shortened = cf;
    convert_class_file(shortened, false, true);
    const size_t now = build_class_image(cf, false).size();
    const size_t then = build_class_image(shortened, false).size();
    return now > then ? static_cast<u32>(now - then) : 0;
}

constexpr size_t LARGEST_SHOWN = 5;

} // namespace

void add_class_file_facts(mapfile::package_map& map, const std::vector<const ClassFile*>& classes,
                          bool locals) {
    for (size_t c = 0; c < map.classes.size() && c < classes.size(); ++c) {
        const ClassFile& cf = *classes[c];
        mapfile::class_entry& entry = map.classes[c];
        for (const attribute_info& a : cf.attributes)
            if (a.kind == attribute_kind::source_file)
                entry.source = full_text(cf, a.sourcefile_index);
        for (mapfile::method_entry& m : entry.methods) {
            if (m.index >= cf.methods.size()) continue;
            const method_info& method = cf.methods[m.index];
            m.name = full_text(cf, method.name_index);
            const attribute_info* code = code_attribute(method);
            if (!code) continue;
            for (const attribute_info& a : code->attributes)
                if (a.kind == attribute_kind::line_number_table)
                    for (const line_number_table_struct& l : a.line_number_table)
                        m.lines.push_back({l.start_pc, l.line_number});
            // Only the table itself: the type table's name shares the reader's kind.
            for (const attribute_info& a : code->attributes) {
                const cp_info* name = cf.constant(a.attribute_name_index);
                if (!locals || a.kind != attribute_kind::local_variable_table || !name ||
                    name->text != "LocalVariableTable")
                    continue;
                for (const local_variable_table_struct& l : a.local_variable_table)
                    m.locals.push_back({l.start_pc, l.length, l.index, full_text(cf, l.name_index),
                                        full_text(cf, l.descriptor_index)});
            }
        }
    }
}

void print_size_report(const mapfile::package_map& map,
                       const std::vector<const ClassFile*>& classes) {
    std::vector<const mapfile::class_entry*> by_size;
    std::vector<std::pair<u32, std::string>> methods;
    for (const mapfile::class_entry& c : map.classes) {
        by_size.push_back(&c);
        for (const mapfile::method_entry& m : c.methods)
            methods.push_back({m.length, c.name + "." + m.name + m.descriptor});
    }
    std::stable_sort(by_size.begin(), by_size.end(),
                     [](auto* a, auto* b) { return a->size > b->size; });
    std::stable_sort(methods.begin(), methods.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::printf("the largest classes:\n");
    for (size_t i = 0; i < by_size.size() && i < LARGEST_SHOWN; ++i)
        std::printf("  %s: %u bytes (constants %u, of them names %u; code %u)\n",
                    by_size[i]->name.c_str(), by_size[i]->size, by_size[i]->constants,
                    by_size[i]->names, by_size[i]->code);
    std::printf("the largest methods (code bytes):\n");
    for (size_t i = 0; i < methods.size() && i < LARGEST_SHOWN; ++i)
        std::printf("  %s: %u bytes\n", methods[i].second.c_str(), methods[i].first);
    u32 saving = 0;
    for (const ClassFile* cf : classes) saving += size_option_saving(*cf);
    std::printf("-OS would save %u bytes (the method names in the images)\n", saving);
}
