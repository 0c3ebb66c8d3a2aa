// Gives every method its identifier from its name; with the size option also empties the
// method names' text in the image.
#pragma once

#include "types.h"

void convert_class_file(ClassFile& cf, bool is_debug, bool optimize_size);
void set_function_id(ClassFile& cf, bool is_debug, bool optimize_size);
