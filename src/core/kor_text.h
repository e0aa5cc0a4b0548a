// Small text and number helpers of the core: fixed-capacity copies that never
// split a UTF-8 character, and float-to-int conversion without undefined
// behaviour.
#ifndef KOR_TEXT_H
#define KOR_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kor {

inline bool is_utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The longest prefix of `text` that fits in `max_bytes` without ending inside
// a multi-byte UTF-8 character. `text` is assumed to be valid UTF-8, so
// stepping back over continuation bytes lands on a character boundary.
inline std::string_view utf8_prefix(std::string_view text, size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    size_t cut = max_bytes;
    while (cut > 0 && is_utf8_continuation(static_cast<unsigned char>(text[cut]))) --cut;
    return text.substr(0, cut);
}

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

} // namespace kor

#endif // KOR_TEXT_H
