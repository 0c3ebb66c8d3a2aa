#include "file_converter.h"

#include <cstdio>
#include <string>

#include "mirt_method_ids.h"

void convert_class_file(ClassFile& cf, bool is_debug, bool optimize_size) {
    set_function_id(cf, is_debug, optimize_size);
}

void set_function_id(ClassFile& cf, bool is_debug, bool optimize_size) {
    for (method_info& method : cf.methods) {
        // The reader made sure the name is a Utf8 constant.
        cp_info& name_constant = *cf.constant(method.name_index);
        // The current length counts: a name already emptied for an earlier method of this
        // class (an overload, a second constructor) is the empty name here.
        const std::string name = name_constant.text.substr(0, name_constant.length);
        if (is_debug) std::printf("convert function _%s_\n", name.c_str());
        method.e_method_id = NO_METHOD_ID;
        if (optimize_size) name_constant.length = 0;
        if (const method_id_row* row = find_method_id_row(name)) {
            if (is_debug) std::printf("%s", row->trace);
            method.e_method_id = row->id;
        }
    }
}
