// What the layer hands to logind and the desktop's services, which refuse
// malformed UTF-8 and show names to people, often in a terminal.
#include "text.h"

#include <gtest/gtest.h>

namespace {

TEST(LinuxText, PrintableText) {
    const struct {
        const char *what;
        std::string in, out;
    } cases[] = {
        {"ASCII", "Nightly backup", "Nightly backup"},
        {"2-, 3- and 4-byte characters", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
         "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"stray bytes", "bad \xFF\xFE bytes", "bad ?? bytes"},
        {"truncated at the end", "cut \xE2\x82", "cut ??"},
        {"continuation without a lead", "\x80x", "?x"},
        {"overlong '/'", "\xC0\xAF", "??"},
        {"overlong NUL", "\xE0\x80\x80", "???"},
        {"surrogate", "\xED\xA0\x80", "???"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", "????"},
        {"ESC, CR, BEL, TAB, NL", "a\x1b[31mb\rc\ad\te\nf", "a?[31mb?c?d?e?f"},
        {"DEL and C1 (CSI)", "x\x7fy\xC2\x9Bz", "x?y?z"},
        {"bidirectional overrides and isolates", "evil\xE2\x80\xAEtxt.exe \xE2\x81\xA6i\xE2\x81\xA9",
         "evil?txt.exe ?i?"},
        {"a mark is kept", "a\xE2\x80\x8Fz", "a\xE2\x80\x8Fz"},
    };
    for (const auto &c : cases) EXPECT_EQ(kor_linux::printable_text(c.in), c.out) << c.what;
}

}  // namespace
