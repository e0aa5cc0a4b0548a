// Texts the Linux layer hands to other programs (logind, the desktop's
// services), which refuse anything that is not well-formed UTF-8 and show
// what they get to people, often in a terminal.
#ifndef KOR_LINUX_TEXT_H
#define KOR_LINUX_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kor_utf8.h"

namespace kor_linux {

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
        const size_t n = kor_utf8::sequence_length(text, i);
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
