// Texts the Linux layer hands to other programs (logind, the desktop's
// services), which refuse anything that is not well-formed UTF-8 and show
// what they get to people, often in a terminal.
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

// Characters a terminal acts on instead of printing: C0 and C1 controls,
// DEL, and the bidirectional embeddings, overrides and isolates that make
// text read differently from what it holds.
inline bool acts_on_terminal(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

inline uint32_t code_point(std::string_view text, size_t i, size_t n) {
    static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t cp = static_cast<unsigned char>(text[i]) & kLeadMask[n];
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    return cp;
}

// `text` as it may be handed to services that show it to people (logind's
// list, a desktop's inhibitor list) and on to their terminals: every byte
// that does not belong to a well-formed UTF-8 character, and every character
// a terminal would act on, becomes '?'.
inline std::string printable_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8_sequence_length(text, i);
        if (n == 0 || acts_on_terminal(code_point(text, i, n))) {
            out += '?';
            i += n == 0 ? 1 : n;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

} // namespace kor_linux

#endif // KOR_LINUX_TEXT_H
