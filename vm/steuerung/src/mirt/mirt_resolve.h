// Method resolution: where an invokestatic's method reference leads. One function over the
// image layer, with no state of its own; the VM calls it for every call (and prints its
// steps in the debug trace), the checker for every call it can reach.
//
// Every read goes through the image layer, so a damaged image ends in the reader's problem
// handler exactly where the read happens; what resolution itself cannot find is returned.
//
// Hazard: the texts and the image in a resolution point into the loaded bytes.
#pragma once

#include <optional>

#include "mirt_image.h"

enum class resolution_end {
    found,
    no_constant,       // the number names no constant
    wrong_constant,    // a constant of another kind (`kind`)
    class_not_found,   // no counted class entry begins the class's name
    not_a_class_image, // the entry found leads to no class image
    method_not_found,  // the class has no method of that name
};

struct method_resolution {
    resolution_end end = resolution_end::no_constant;
    u8 kind = 0;             // the constant's tag
    bool same_class = false; // resolved in the calling image, by name constant slot
    u32 name_slot = 0;       // 0-based address-table slot of the method's name
    image_text wanted{};     // the method's name (calls into another class only)
    image_text class_name{}; // the class's name (calls into another class only)
    directory_entry entry{}; // the class's directory entry (calls into another class only)
    class_image image{};     // image that holds the method (valid from class_not_found on)
    int method = -1;         // the method's index in `image`
};

// The steps a resolution takes, in the order it takes them; the VM's debug trace prints
// them, everyone else passes no_resolution_steps.
struct no_resolution_steps {
    void same_class(u32 /*ref*/) {}
    void method_compared(image_text /*name*/, u32 /*index*/) {}
    void method_matched(image_text /*name*/, u32 /*index*/) {}
    void other_class_method(image_text /*wanted*/, u32 /*slot*/) {}
    void other_class_named(image_text /*wanted*/, u32 /*slot*/, image_text /*name*/,
                           u32 /*class_slot*/) {}
    void directory_entry_compared(const directory_entry& /*entry*/) {}
    void class_found(const directory_entry& /*entry*/) {}
};

inline bool same_text(image_text a, image_text b) {
    if (a.length != b.length) return false;
    for (u16 k = 0; k < a.length; ++k)
        if (a.bytes[k] != b.bytes[k]) return false;
    return true;
}

// The counted directory entry with the class id whose whole name begins `name`, in
// directory order. The count is read as the u16 it is stored as: every entry is searched,
// and each entry is bounds-checked, so a damaged directory cannot loop or read outside.
template <typename Steps>
std::optional<directory_entry> find_class_entry(const package_directory& directory, image_text name,
                                                Steps& steps) {
    const u16 count = directory.count();
    u32 at = mirt2_package::first_class_info;
    for (u32 i = 0; i < count; ++i) {
        directory_entry entry = directory.entry_at(at);
        if (entry.id == mirt2_class_info::CLASS_ENTRY) {
            steps.directory_entry_compared(entry);
            // The requested name only has to begin with the entry's whole name.
            bool match = name.length >= entry.name.length;
            for (u16 k = 0; match && k < entry.name.length; ++k)
                match = entry.name.bytes[k] == name.bytes[k];
            if (match) return entry;
        }
        at = entry.next;
    }
    return std::nullopt;
}

// Resolves constant `ref` of `caller`, the image whose code makes the call. A class index
// means "this class" only when it is both the start image's (`start_this_class`) and the
// caller's own this_class: the index belongs to the caller's constant pool. There the method
// is found by its name's constant slot; in another class, found through `directory` (none
// for a bare class image), by its name's text, so names emptied by the size option match
// nothing. `external` takes every call as one into the caller's own class.
template <typename Steps>
method_resolution resolve_method(const class_image& caller, const package_directory* directory,
                                 int start_this_class, u32 ref, bool external, Steps& steps) {
    method_resolution r;
    // Static methods of interfaces are named by InterfaceMethodref constants, same layout.
    const std::optional<u32> methodref = caller.find_constant(ref);
    if (!methodref) return r;
    r.kind = caller.constant_tag_at(*methodref);
    if (r.kind != CONSTANT_Methodref && r.kind != CONSTANT_InterfaceMethodref) {
        r.end = resolution_end::wrong_constant;
        return r;
    }
    const u16 class_index =
        caller.constant_u16(*methodref, CONSTANT_mirt_Methodref_info_struct::class_index);
    const u16 name_and_type_index =
        caller.constant_u16(*methodref, CONSTANT_mirt_Methodref_info_struct::name_and_type_index);
    const u32 name_and_type = caller.constant(name_and_type_index, CONSTANT_NameAndType);
    r.name_slot =
        caller.constant_u16(name_and_type, CONSTANT_mirt_NameAndType_info_struct::name_index) - 1u;

    if ((class_index == start_this_class && class_index == caller.this_class()) || external) {
        r.same_class = true;
        r.image = caller;
        steps.same_class(ref);
        const u16 count = caller.methods_count();
        for (u16 i = 0; i < count; ++i) {
            const u32 record = caller.method(i);
            const image_text name = caller.method_name(record);
            steps.method_compared(name, i);
            if (caller.method_field(record, mirt_method_info::name_index) == r.name_slot) {
                steps.method_matched(name, i);
                r.method = i;
                r.end = resolution_end::found;
                return r;
            }
        }
        r.end = resolution_end::method_not_found;
        return r;
    }

    r.wanted = caller.utf8_slot(r.name_slot);
    steps.other_class_method(r.wanted, r.name_slot);
    const u32 class_record = caller.constant(class_index, CONSTANT_Class);
    const u32 class_slot =
        caller.constant_u16(class_record, CONSTANT_mirt_Class_info_struct::name_index) - 1u;
    r.class_name = caller.utf8_slot(class_slot);
    steps.other_class_named(r.wanted, r.name_slot, r.class_name, class_slot);
    const std::optional<directory_entry> entry =
        directory ? find_class_entry(*directory, r.class_name, steps) : std::nullopt;
    if (!entry) {
        r.end = resolution_end::class_not_found;
        return r;
    }
    r.entry = *entry;
    steps.class_found(r.entry);
    r.image = class_image{caller.bytes, r.entry.offset};
    if (!caller.bytes->contains(r.image.base, 4) || r.image.magic() != CLASS_IMAGE_MAGIC) {
        r.end = resolution_end::not_a_class_image;
        return r;
    }
    const u16 count = r.image.methods_count();
    for (u16 i = 0; i < count; ++i) {
        const image_text name = r.image.method_name(r.image.method(i));
        steps.method_compared(name, i);
        if (same_text(name, r.wanted)) {
            r.method = i;
            r.end = resolution_end::found;
            return r;
        }
    }
    r.end = resolution_end::method_not_found;
    return r;
}
