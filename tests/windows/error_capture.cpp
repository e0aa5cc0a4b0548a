// The core's kor_set_error, for programs that link the platform layer alone:
// the message is kept where the tests can read it.
#include "error_capture.h"

#include <cstdarg>
#include <cstdio>

namespace {
char g_message[512];
}

void kor_set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(g_message, sizeof g_message, fmt, ap);
    va_end(ap);
}

const char *captured_error() { return g_message; }

void clear_captured_error() { g_message[0] = '\0'; }
