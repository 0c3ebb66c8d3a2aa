// Bounds-checked access to a loaded package: the one place where package bytes are read.
//
// Every multi-byte value is assembled from single bytes, little-endian, so the buffer
// needs no alignment and the host's byte order does not matter. Every read is checked
// against the bytes actually loaded; a read outside them, or a reference that names
// nothing, goes to the reader's problem handler, which must not return (the VM ends the
// run, a checker unwinds to its report).
//
// Hazard: pointers handed out here (names, code) point into the loaded buffer and must
// not outlive it.
#pragma once

#include <optional>

#include "mirt_cf_types.h"

enum image_problem : int {
    IMAGE_OUT_OF_BOUNDS = 1, // details: width, offset
    IMAGE_NO_CONSTANT,       // details: constant number
    IMAGE_WRONG_CONSTANT,    // details: constant number, tag found
    IMAGE_NO_METHOD,         // details: method index
    IMAGE_NO_CODE,           // details: method index
};

// Must not return.
using image_problem_handler = void (*)(image_problem problem, s64 detail1, s64 detail2);

class package_bytes {
  public:
    package_bytes() = default;
    package_bytes(const u8* data, u32 size, image_problem_handler on_problem)
        : data_(data), size_(size), on_problem_(on_problem) {}

    u32 size() const { return size_; }
    // The same bytes, with another handler for what cannot be read.
    package_bytes with_problem_handler(image_problem_handler on_problem) const {
        return package_bytes(data_, size_, on_problem);
    }
    bool contains(u64 at, u64 width) const { return at <= size_ && width <= size_ - at; }

    u8 u8_at(u64 at) const { return *checked(at, 1); }
    u16 u16_at(u64 at) const {
        const u8* p = checked(at, 2);
        return static_cast<u16>(p[0] | p[1] << 8);
    }
    u32 u32_at(u64 at) const {
        const u8* p = checked(at, 4);
        return static_cast<u32>(p[0]) | static_cast<u32>(p[1]) << 8 | static_cast<u32>(p[2]) << 16 |
               static_cast<u32>(p[3]) << 24;
    }
    u64 u64_at(u64 at) const {
        return static_cast<u64>(u32_at(at)) | static_cast<u64>(u32_at(at + 4)) << 32;
    }
    // `width` bytes starting at `at`, all inside the loaded bytes.
    const u8* span(u64 at, u64 width) const { return checked(at, width); }

    [[noreturn]] void problem(image_problem what, s64 detail1 = 0, s64 detail2 = 0) const;

  private:
    const u8* checked(u64 at, u64 width) const {
        if (!contains(at, width))
            problem(IMAGE_OUT_OF_BOUNDS, static_cast<s64>(width), static_cast<s64>(at));
        return data_ + at;
    }

    const u8* data_ = nullptr;
    u32 size_ = 0;
    image_problem_handler on_problem_ = nullptr;
};

// A run of bytes inside the loaded buffer: a Utf8 constant's text or a directory name.
struct image_text {
    const u8* bytes;
    u16 length;
};

struct code_info {
    u16 max_locals;
    u8 locals; // first entry of the method's slice of the local pool
    const u8* begin;
    const u8* end; // one past the last code byte
};

struct directory_entry {
    u32 at; // package offset of the entry
    u16 id;
    u32 offset; // package offset of the class image
    image_text name;
    u32 next; // package offset of the following entry
};

// One class image inside a package: `base` is the package offset of its magic, and
// every address inside the image is relative to it.
struct class_image {
    const package_bytes* bytes = nullptr;
    u32 base = 0;

    bool operator==(const class_image& other) const { return base == other.base; }

    u32 magic() const { return bytes->u32_at(base + mirt_ClassFile::magic); }
    u16 header(u32 field) const { return bytes->u16_at(base + field); }
    u16 constant_pool_count() const { return header(mirt_ClassFile::constant_pool_count); }
    u16 this_class() const { return header(mirt_ClassFile::this_class); }
    u16 methods_count() const { return header(mirt_ClassFile::methods_count); }

    // Package offset of image address `addr`.
    u32 at(u16 addr) const { return base + addr; }

    // Constant #number (1-based): the package offset of its record, or nothing when the
    // number is 0, beyond the pool, or names a slot that holds no record.
    std::optional<u32> find_constant(u32 number) const;
    // As find_constant, but a missing constant or another tag is a problem of the image.
    u32 constant(u32 number, constant_tag expected) const;
    u8 constant_tag_at(u32 record) const { return bytes->u8_at(record + mirt_cp_info::tag); }
    u16 constant_u16(u32 record, u32 field) const { return bytes->u16_at(record + field); }

    // Text of the Utf8 constant in address-table slot `slot` (0-based).
    image_text utf8_slot(u32 slot) const;

    // Package offset of method record `index`; a problem when there is no such method.
    u32 method(u32 index) const;
    u16 method_field(u32 record, u32 field) const { return bytes->u16_at(record + field); }
    image_text method_name(u32 record) const {
        return utf8_slot(method_field(record, mirt_method_info::name_index));
    }
    image_text method_descriptor(u32 record) const {
        return utf8_slot(method_field(record, mirt_method_info::descriptor_index));
    }
    // The method's attribute 0 read as a Code body, its code inside the loaded bytes.
    code_info code(u32 record, u32 index) const;
};

class package_directory {
  public:
    explicit package_directory(const package_bytes* bytes) : bytes_(bytes) {}
    u16 count() const { return bytes_->u16_at(mirt2_package::count); }
    directory_entry entry_at(u32 at) const;
    directory_entry first() const { return entry_at(mirt2_package::first_class_info); }

  private:
    const package_bytes* bytes_;
};
