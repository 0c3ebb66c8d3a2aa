// What the linker tells about a package beyond the package itself: the map file (where
// everything lies, with the class files' names and source lines) and, for a package that is
// too big, what takes the space.
#pragma once

#include <vector>

#include "package_map.h"
#include "types.h"

// The package's description completed from the class files it was linked from, in link
// order: the methods' names (also where -OS removed them from the images), the line tables
// and the source file names; with `locals`, the LocalVariableTables too.
void add_class_file_facts(mapfile::package_map& map, const std::vector<const ClassFile*>& classes,
                          bool locals = false);

// The largest classes and methods with their bytes, and what -OS would save.
void print_size_report(const mapfile::package_map& map,
                       const std::vector<const ClassFile*>& classes);
