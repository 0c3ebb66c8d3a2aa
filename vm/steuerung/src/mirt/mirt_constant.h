// What an ldc, ldc_w or ldc2_w pushes: one function over the image layer, with no state of
// its own. The VM calls it for every load it has not kept, the proof pass for every load it
// reaches, so that the unchecked body can push a value the pass read without reading again.
//
// Every read goes through the image layer, so a damaged image ends in the reader's problem
// handler exactly where the read happens; what the load itself cannot use is returned.
#pragma once

#include "mirt_image.h"

enum class constant_end {
    found,
    no_constant, // the number is 0, beyond the pool, or names no record
    wrong_tag,   // a record of another kind (`tag`) than the load takes
};

struct constant_load {
    constant_end end = constant_end::no_constant;
    u8 tag = 0; // the record's tag (wrong_tag)
    variable value{};
};

// The load of constant `number` by an ldc or ldc_w (one word: Integer or Float) or by an
// ldc2_w (two words: Long or Double).
inline constant_load load_constant(const class_image& image, u16 number, bool two_words) {
    constant_load load;
    const std::optional<u32> record = image.find_constant(number);
    if (!record) return load;
    load.tag = image.constant_tag_at(*record);
    const u32 value_at = *record + CONSTANT_mirt_Integer_info_struct::value;
    static_assert(CONSTANT_mirt_Long_info_struct::value ==
                  CONSTANT_mirt_Integer_info_struct::value);
    load.end = constant_end::wrong_tag;
    if (!two_words) {
        if (load.tag != CONSTANT_Integer && load.tag != CONSTANT_Float) return load;
        load.value = typed(load.tag == CONSTANT_Integer ? TYPE_INT : TYPE_FLOAT);
        load.value.value.U32 = image.bytes->u32_at(value_at);
    } else {
        if (load.tag != CONSTANT_Long && load.tag != CONSTANT_Double) return load;
        load.value = typed(load.tag == CONSTANT_Long ? TYPE_LONG : TYPE_DOUBLE);
        load.value.value.U64 = image.bytes->u64_at(value_at);
    }
    load.end = constant_end::found;
    return load;
}
