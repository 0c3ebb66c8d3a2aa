// Reads a class file into a ClassFile record. The whole file is read into memory and parsed
// through one checked byte source, so a file that ends early or names constants that do
// not exist is refused with a message instead of being turned into a garbled package.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "types.h"

// Class files above this are refused unread: a package holds 4096 bytes, and the bound keeps
// the memory a wrong input (a device, a disk image) can take constant.
constexpr u32 MAX_CLASS_FILE_SIZE = 16u << 20;

// The record, or null when the file cannot be read or is not a usable class file (the
// reason has been printed).
std::unique_ptr<ClassFile> read_class_file(const std::string& filename, bool debug);

// Same, from bytes already in memory; `filename` only names the file in messages.
std::unique_ptr<ClassFile> read_class_bytes(std::vector<u8> data, bool debug);

// Whether `bytes` begin as every class file does (0xCAFEBABE).
bool has_class_file_magic(const std::vector<u8>& bytes);

// Bytes consumed from the last file read.
u32 get_max_addr();

// Next free base in the VM's local pool; runs on across all class files of a link run.
extern u8 local_var_idx;
