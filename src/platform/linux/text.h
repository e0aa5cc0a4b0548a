// Texts the Linux layer hands to other programs (logind, the desktop's
// services), which refuse anything that is not well-formed UTF-8 and show
// what they get to people, often in a terminal.
#ifndef KOR_LINUX_TEXT_H
#define KOR_LINUX_TEXT_H

#include <string>
#include <string_view>

#include "kor_utf8.h"

namespace kor_linux {

// `text` as it may be handed to services that show it to people (logind's
// list, a desktop's inhibitor list) and on to their terminals: every byte
// that does not belong to a well-formed UTF-8 character, and every character
// a terminal would act on, becomes '?'.
inline std::string printable_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    kor_utf8::for_each_printable(text, [&](std::string_view piece) {
        out.append(piece);
        return true;
    });
    return out;
}

// Adds "name: why" to the list of every mechanism tried and why it failed,
// pieces joined by "; ".
inline void append_failure(std::string &failures, const std::string &name, const std::string &why) {
    if (!failures.empty()) failures += "; ";
    failures += name + ": " + why;
}

}  // namespace kor_linux

#endif  // KOR_LINUX_TEXT_H
