// UTF-8 helpers shared by the core, the Linux layer and the command: where a
// text may be cut, and which bytes form a well-formed character.
#ifndef KOR_UTF8_H
#define KOR_UTF8_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kor_utf8 {

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The longest prefix of `text` that fits in `max_bytes` without ending inside
// a multi-byte character. `text` is assumed to be valid UTF-8, so stepping
// back over continuation bytes lands on a character boundary.
inline std::string_view prefix(std::string_view text, size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    size_t cut = max_bytes;
    while (cut > 0 && is_continuation(static_cast<unsigned char>(text[cut]))) --cut;
    return text.substr(0, cut);
}

// Length of the well-formed UTF-8 sequence at text[i] (1 to 4), or 0 when the
// bytes there are not one (overlong forms and surrogates included).
inline size_t sequence_length(std::string_view text, size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return 1;
    size_t n;
    uint32_t cp;
    if ((lead & 0xE0) == 0xC0) {
        n = 2;
        cp = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        n = 3;
        cp = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        n = 4;
        cp = lead & 0x07u;
    } else return 0;
    if (i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[i + k]);
        if (!is_continuation(c)) return 0;
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
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// The code point of the well-formed sequence of `n` bytes at text[i].
inline uint32_t code_point(std::string_view text, size_t i, size_t n) {
    static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t cp = static_cast<unsigned char>(text[i]) & kLeadMask[n];
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    return cp;
}

// Walks `text` once: `emit(piece, n)` for each well-formed character (n its
// length) and for each byte that is not part of one (n 0). Stops early when
// `emit` returns false.
template <typename Emit>
void for_each_sequence(std::string_view text, Emit emit) {
    for (size_t i = 0; i < text.size();) {
        const size_t n = sequence_length(text, i);
        if (!emit(text.substr(i, n == 0 ? 1 : n), n)) return;
        i += n == 0 ? 1 : n;
    }
}

// Calls `emit(piece)` for each character of `text` as it may be shown on a
// terminal: a byte that is not part of a well-formed character, and a
// character a terminal would act on, become "?".
template <typename Emit>
void for_each_printable(std::string_view text, Emit emit) {
    for_each_sequence(text, [&](std::string_view piece, size_t n) {
        const bool shown = n != 0 && !acts_on_terminal(code_point(piece, 0, n));
        return emit(shown ? piece : std::string_view("?"));
    });
}

// `text` made printable (above) into a NUL-terminated buffer of `capacity`
// bytes, cut on a character boundary. Allocates nothing.
inline void printable_copy(char *out, size_t capacity, std::string_view text) {
    if (capacity == 0) return;
    size_t used = 0;
    for_each_printable(text, [&](std::string_view piece) {
        if (used + piece.size() > capacity - 1) return false;
        for (const char c : piece) out[used++] = c;
        return true;
    });
    out[used] = '\0';
}

}  // namespace kor_utf8

#endif  // KOR_UTF8_H
