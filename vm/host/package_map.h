// The linker's map of a package: where every class image and method's code lies, the
// source lines of the code, and what takes the space. The package format has no room for
// line tables, so they travel beside it in this text file; the emulator and the checker read
// it to name source lines.
//
// Format (documented for users in docs/map-format.md): one record per line, fields separated
// by one space, the record's kind first:
//   mirt-map 1
//   package size <bytes> cksum <POSIX cksum of the package file>
//   class <name> entry <dir. offset> offset <image offset> size <bytes> constants <bytes>
//         names <bytes> code <bytes> [source <SourceFile>]                   (one line)
//   method <class> <index> <name> <descriptor> id <id> flags 0x<hex> record <offset>
//         code <offset> length <bytes> locals <first>..<last>|none         (one line)
//   line <class> <method index> <code offset> <source line>
//   local <class> <method index> <start> <length> <slot> <name> <descriptor>   (linker -map-locals)
// Offsets are package offsets; a method without code has code and length 0.
#pragma once

#include <string>
#include <vector>

#include "mirt_types.h"

namespace mapfile {

struct line_entry {
    u32 code_offset;
    u32 line;
};

// One entry of a method's LocalVariableTable: `slot` holds `name` of type `descriptor` while
// the code offset is in [start, start + length).
struct local_entry {
    u32 start;
    u32 length;
    u32 slot;
    std::string name;
    std::string descriptor;
};

struct method_entry {
    u16 index = 0;
    std::string name; // as in the class file, also where -OS removed it from the image
    std::string descriptor;
    u16 id = 0;
    u16 flags = 0;
    u32 record = 0;       // package offset of the method record
    u32 code = 0;         // package offset of the first code byte; 0 without code
    u32 length = 0;       // code bytes
    u16 locals_first = 0; // the method's window in the VM's local pool
    u16 locals_count = 0;
    std::vector<line_entry> lines;   // code offset -> source line, as javac wrote them
    std::vector<local_entry> locals; // only in a map written with the locals
};

struct class_entry {
    std::string name;   // as the directory records it
    u32 entry = 0;      // package offset of the directory entry
    u32 offset = 0;     // package offset of the image
    u32 size = 0;       // image bytes, trailer included
    u32 constants = 0;  // constant address table and records
    u32 names = 0;      // the Utf8 records among them
    u32 code = 0;       // code bytes of all methods
    std::string source; // SourceFile, where the class file has one
    std::vector<method_entry> methods;
};

struct package_map {
    u32 size = 0;
    u32 cksum = 0;
    std::vector<class_entry> classes;
};

// The checksum `cksum` prints for the same bytes (CRC-32 over the bytes and their length).
u32 posix_cksum(const u8* data, size_t size);

// Everything the package bytes say: classes, methods, code ranges, sizes. Names and lines
// of the class files are for the linker to add. False with the reason for damaged bytes.
bool describe_package(const std::vector<u8>& package, package_map& map, std::string& problem);

std::string write_map(const package_map& map);

// Reads a map; false with the reason when the text is not one.
bool parse_map(const std::string& text, package_map& map, std::string& problem);

// Reads the map at `path` and checks that it belongs to `package`; false with a line that
// says why not.
bool load_map_for(const char* path, const std::vector<u8>& package, package_map& map,
                  std::string& problem);

// The method of the image at `image_offset` with index `index`, or null.
const method_entry* find_method(const package_map& map, u32 image_offset, u16 index,
                                const class_entry** owner = nullptr);

// The source line of `code_offset` in `method` (the last entry at or before it), or 0.
u32 line_of(const method_entry& method, u32 code_offset);

// "Blink.java:12": a source line as messages name it ("?" for a class without SourceFile).
std::string source_place(const class_entry& owner, u32 line);

} // namespace mapfile
