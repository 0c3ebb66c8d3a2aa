// Writes class images (to the temporary file) and the package around them. Everything in
// an image and a package is little-endian.
#pragma once

#include <cstdio>
#include <vector>

#include "types.h"

// Appends the image of `cf` and its trailer to `out`; returns the bytes written, trailer
// included, or -1 when the image cannot be addressed with 16-bit addresses.
int write_tmp_file(const ClassFile& cf, std::FILE* out, bool is_debug);

// Writes header, directory and the images copied from `tmpfile` to `output`. Returns the
// package size, or -1 for an empty list or a package over the size limit. `classfile_list`
// starts with the head node; class names are rewritten from paths on the way.
int write_prg_file(std::vector<classfile_descriptor>& classfile_list, std::FILE* tmpfile,
                   std::FILE* output, bool is_debug);

// The image as bytes (without trailer), for callers that want it in memory.
std::vector<u8> build_class_image(const ClassFile& cf, bool is_debug);

void mem_u8(std::vector<u8>& mem, u32 value);
void mem_u16(std::vector<u8>& mem, u32 value);
void mem_u32(std::vector<u8>& mem, u32 value);
void mem_set_addr(std::vector<u8>& mem, size_t addr, u32 value);
void file_u8(std::FILE* file, u32 value);
void file_u16(std::FILE* file, u32 value);
void file_u32(std::FILE* file, u32 value);
