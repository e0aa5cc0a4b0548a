// Small text and number helpers of the core: fixed-capacity copies that never
// split a UTF-8 character, and float-to-int conversion without undefined
// behaviour.
#ifndef KOR_TEXT_H
#define KOR_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
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

// Length of the well-formed UTF-8 sequence at text[i] (1 to 4), or 0 when the
// bytes there are not one (overlong forms and surrogates included).
inline size_t utf8_sequence_length(std::string_view text, size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return 1;
    size_t n;
    uint32_t cp;
    if ((lead & 0xE0) == 0xC0) { n = 2; cp = lead & 0x1Fu; }
    else if ((lead & 0xF0) == 0xE0) { n = 3; cp = lead & 0x0Fu; }
    else if ((lead & 0xF8) == 0xF0) { n = 4; cp = lead & 0x07u; }
    else return 0;
    if (i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[i + k]);
        if (!is_utf8_continuation(c)) return 0;
        cp = (cp << 6) | (c & 0x3Fu);
    }
    static constexpr uint32_t kMinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// `text` with every byte that does not belong to a well-formed UTF-8
// character replaced by '?', for services that refuse anything else.
inline std::string valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8_sequence_length(text, i);
        if (n == 0) {
            out += '?';
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

} // namespace kor

#endif // KOR_TEXT_H
