// Arithmetic of the VM with Java's results and no undefined behaviour in C++: integer
// operations wrap, shift counts are masked, float-to-integer conversions saturate to
// MIN_VALUE. Division by zero is the caller's to refuse before calling div/rem.
#pragma once

#include <bit>
#include <cmath>
#include <limits>

#include "mirt_types.h"

inline s32 add32(s32 a, s32 b) {
    return static_cast<s32>(static_cast<u32>(a) + static_cast<u32>(b));
}
inline s32 sub32(s32 a, s32 b) {
    return static_cast<s32>(static_cast<u32>(a) - static_cast<u32>(b));
}
inline s32 mul32(s32 a, s32 b) {
    return static_cast<s32>(static_cast<u32>(a) * static_cast<u32>(b));
}
inline s32 neg32(s32 a) { return static_cast<s32>(0u - static_cast<u32>(a)); }
inline s64 add64(s64 a, s64 b) {
    return static_cast<s64>(static_cast<u64>(a) + static_cast<u64>(b));
}
inline s64 sub64(s64 a, s64 b) {
    return static_cast<s64>(static_cast<u64>(a) - static_cast<u64>(b));
}
inline s64 mul64(s64 a, s64 b) {
    return static_cast<s64>(static_cast<u64>(a) * static_cast<u64>(b));
}
inline s64 neg64(s64 a) { return static_cast<s64>(0u - static_cast<u64>(a)); }

// MIN_VALUE / -1 overflows in C++; Java gives MIN_VALUE and remainder 0.
inline s32 div32(s32 a, s32 b) { return b == -1 ? neg32(a) : a / b; }
inline s32 rem32(s32 a, s32 b) { return b == -1 ? 0 : a % b; }
inline s64 div64(s64 a, s64 b) { return b == -1 ? neg64(a) : a / b; }
inline s64 rem64(s64 a, s64 b) { return b == -1 ? 0 : a % b; }

inline s32 shl32(s32 a, s32 n) { return static_cast<s32>(static_cast<u32>(a) << (n & 0x1f)); }
inline s32 shr32(s32 a, s32 n) { return a >> (n & 0x1f); }
inline s32 ushr32(s32 a, s32 n) { return static_cast<s32>(static_cast<u32>(a) >> (n & 0x1f)); }
inline s64 shl64(s64 a, s32 n) { return static_cast<s64>(static_cast<u64>(a) << (n & 0x3f)); }
inline s64 shr64(s64 a, s32 n) { return a >> (n & 0x3f); }
inline s64 ushr64(s64 a, s32 n) { return static_cast<s64>(static_cast<u64>(a) >> (n & 0x3f)); }

// Sign bit flipped, nothing else: -0.0 from 0.0, a NaN stays a NaN.
inline float neg_float(float a) {
    return std::bit_cast<float>(std::bit_cast<u32>(a) ^ 0x80000000u);
}
inline double neg_double(double a) {
    return std::bit_cast<double>(std::bit_cast<u64>(a) ^ 0x8000000000000000u);
}

// Three-way comparison; unordered (NaN) compares as 0, as on the device.
// Without branches: the interpreter's comparison steps test the result as a whole.
template <typename T> inline s32 compare3(T a, T b) {
    return static_cast<s32>(a > b) - static_cast<s32>(a < b);
}

// Nearest float; beyond the float range an infinity (the overflowing cast is undefined in C++).
inline float double_to_float(double d) {
    constexpr double float_max = std::numeric_limits<float>::max();
    constexpr double round_to_infinity = 0x1.ffffffp127; // float_max plus half an ulp
    if (std::isnan(d) || (d >= -float_max && d <= float_max)) return static_cast<float>(d);
    const double magnitude = d < 0 ? -d : d;
    const float rounded = magnitude < round_to_infinity ? std::numeric_limits<float>::max()
                                                        : std::numeric_limits<float>::infinity();
    return d < 0 ? -rounded : rounded;
}

// Truncation toward zero; NaN, infinities and values outside the range give MIN_VALUE.
inline s32 double_to_int(double d) {
    if (d > -2147483649.0 && d < 2147483648.0) return static_cast<s32>(d);
    return std::numeric_limits<s32>::min();
}
inline s64 double_to_long(double d) {
    if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) return static_cast<s64>(d);
    return std::numeric_limits<s64>::min();
}
