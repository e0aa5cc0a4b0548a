// Small text and number helpers of the core: fixed-capacity copies, and
// float-to-int conversion without undefined behaviour.
#ifndef KOR_TEXT_H
#define KOR_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "kor_utf8.h"

namespace kor {

// Copies `src` into a NUL-terminated buffer, cut at capacity - 1 bytes.
template <size_t N>
void copy_text(char (&dst)[N], std::string_view src) {
    static_assert(N > 0, "buffer needs room for the terminator");
    const size_t n = src.size() < N - 1 ? src.size() : N - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// Truncates toward zero, clamping values outside the 32-bit range (and NaN,
// which strict JSON cannot carry, to 0) instead of invoking undefined
// behaviour.
inline int32_t clamp_to_i32(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace kor

#endif  // KOR_TEXT_H
