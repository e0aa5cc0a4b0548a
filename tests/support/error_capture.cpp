#include "error_capture.h"

#include "kor_platform.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex g_mu;
char g_text[512];  // the core's capacity, so cut messages look the same here
int g_count = 0;

}  // namespace

void kor_set_error(const char *fmt, ...) noexcept {
    std::lock_guard<std::mutex> lock(g_mu);
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(g_text, sizeof g_text, fmt, ap);
    va_end(ap);
    ++g_count;
}

namespace kortest {

std::string last_error() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_text;
}

int error_count() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_count;
}

void clear_error() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_text[0] = '\0';
    g_count = 0;
}

}  // namespace kortest

// The core's part of a fork; the platform layer alone has nothing to forget.
void kor_forget_after_fork() noexcept {}
void kor_fork_prepare() noexcept {}
void kor_fork_parent() noexcept {}
