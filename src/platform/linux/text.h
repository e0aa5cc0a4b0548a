// Texts the Linux layer hands to other programs (logind, the desktop's
// services), which refuse anything that is not well-formed UTF-8.
#ifndef KOR_LINUX_TEXT_H
#define KOR_LINUX_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kor_linux {

inline bool is_utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

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

} // namespace kor_linux

#endif // KOR_LINUX_TEXT_H
