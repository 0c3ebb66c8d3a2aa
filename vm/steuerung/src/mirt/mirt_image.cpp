#include "mirt_image.h"

#include <cstdlib>

void package_bytes::problem(image_problem what, s64 detail1, s64 detail2) const {
    if (on_problem_) on_problem_(what, detail1, detail2);
    std::abort(); // a handler that returns would let a bad read go on
}

std::optional<u32> class_image::find_constant(u32 number) const {
    if (number == 0 || number >= constant_pool_count()) return std::nullopt;
    u16 table = header(mirt_ClassFile::constant_pool_addr_arr);
    u16 addr = bytes->u16_at(static_cast<u64>(base) + table + 2 * static_cast<u64>(number - 1));
    if (addr == NO_CONSTANT) return std::nullopt;
    return base + addr;
}

u32 class_image::constant(u32 number, constant_tag expected) const {
    std::optional<u32> record = find_constant(number);
    if (!record) bytes->problem(IMAGE_NO_CONSTANT, number);
    u8 tag = constant_tag_at(*record);
    if (tag != expected) bytes->problem(IMAGE_WRONG_CONSTANT, number, tag);
    return *record;
}

image_text class_image::utf8_slot(u32 slot) const {
    u32 record = constant(slot + 1, CONSTANT_Utf8);
    u16 length = bytes->u16_at(record + CONSTANT_mirt_Utf8_info_struct::length);
    return {bytes->span(record + CONSTANT_mirt_Utf8_info_struct::bytes, length), length};
}

u32 class_image::method(u32 index) const {
    if (index >= methods_count()) bytes->problem(IMAGE_NO_METHOD, index);
    u16 table = header(mirt_ClassFile::methods_addr_arr);
    u32 record = base + bytes->u16_at(static_cast<u64>(base) + table + 2 * static_cast<u64>(index));
    bytes->span(record, mirt_method_info::size);
    return record;
}

code_info class_image::code(u32 record, u32 index) const {
    if (method_field(record, mirt_method_info::attributes_count) == 0)
        bytes->problem(IMAGE_NO_CODE, index);
    u16 table = method_field(record, mirt_method_info::attributes_addr_arr);
    u32 body = base + bytes->u16_at(static_cast<u64>(base) + table);
    u32 length = bytes->u32_at(body + mirt_code_attribute_struct::code_length);
    const u8* begin = bytes->span(body + mirt_code_attribute_struct::code, length);
    return {bytes->u16_at(body + mirt_code_attribute_struct::max_locals),
            bytes->u8_at(body + mirt_code_attribute_struct::locals), begin, begin + length};
}

directory_entry package_directory::entry_at(u32 at) const {
    directory_entry entry{};
    entry.at = at;
    entry.id = bytes_->u16_at(static_cast<u64>(at) + mirt2_class_info::id);
    entry.offset = bytes_->u32_at(static_cast<u64>(at) + mirt2_class_info::offset);
    entry.name.length = bytes_->u16_at(static_cast<u64>(at) + mirt2_class_info::length);
    entry.name.bytes =
        bytes_->span(static_cast<u64>(at) + mirt2_class_info::name, entry.name.length);
    entry.next = at + mirt2_class_info::size(entry.name.length);
    return entry;
}
