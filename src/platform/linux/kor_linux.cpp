// The Linux platform layer: the inhibition is systemd-logind's lock plus the
// desktop session's own inhibitor (holding.h); processes are read from
// /proc (proc.h); the watcher waits in watch.cpp.
#include "kor_platform.h"
#include "holding.h"
#include "logind.h"
#include "text.h"
#include "proc.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <memory>
#include <string>

namespace {

int g_active = 0;  // 1 while the layer holds an inhibition
// What it holds. A pointer rather than a static object, so that no destructor
// at exit races a watcher thread that is releasing it.
kor_linux::holding *g_held = nullptr;

// ---------------------------------------------------------------------------
// Fork
//
// Like a record lock, an activation is not inherited by a forked child: the
// child closes its copies of the lock and of the connections (so the parent's
// release, end or exit frees the machine whatever its children do) and starts
// with no activation. Only closes and plain stores here: the child may have
// been forked while any other thread was anywhere in the library. What is
// forgotten (a few small objects) is left allocated.
void forget_after_fork() {
    if (g_held != nullptr) g_held->forget_in_child();
    g_held = nullptr;
    g_active = 0;
    kor_linux::forget_system_bus_in_child();
    kor_forget_after_fork();
}

// Registered once, when the library is loaded (it is never unloaded).
[[maybe_unused]] const int g_fork_handler = pthread_atfork(kor_fork_prepare, kor_fork_parent, forget_after_fork);

// ---------------------------------------------------------------------------
// The inhibition's description, as `systemd-inhibit --list` and the desktops
// show it

// Who holds the lock as far as a person is concerned: the name the host
// gave ("app"), else its program's name.
std::string app_name(const char *app) {
    std::string text = kor_linux::printable_text(app ? app : "");
    if (!text.empty()) return text;
    const char *program = program_invocation_short_name;
    text = kor_linux::printable_text(program ? program : "");
    return text.empty() ? "unknown program" : text;
}

std::string inhibit_reason(const char *activation_name) {
    std::string reason = kor_linux::printable_text(activation_name ? activation_name : "");
    return reason.empty() ? "Keeping the system awake" : reason;
}

}  // namespace

// ---------------------------------------------------------------------------
// The contract

const char *kor_plat_name() noexcept { return "linux"; }

int64_t kor_now_ms() noexcept {
    // CLOCK_BOOTTIME keeps counting while the machine is suspended, so a
    // 30-minute activation lasts 30 minutes of real time.
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int kor_plat_inhibit_on(const kor_plat_request &asked, char *mechanism, size_t capacity) noexcept {
    try {
        kor_linux::inhibit_request request;
        request.keep_display = asked.keep_display != 0;
        request.app_id = app_name(asked.app);
        request.reason = inhibit_reason(asked.reason);
        auto next = std::make_unique<kor_linux::holding>();
        std::string names, failures;
        if (!next->acquire(request, names, failures)) {
            kor_set_error("%s", failures.c_str());
            return -1;
        }
        // A second call replaces what the first holds, never leaks it; the
        // new one is taken first, so there is no moment without either.
        delete g_held;
        g_held = next.release();
        g_active = 1;
        if (mechanism != nullptr && capacity > 0) std::snprintf(mechanism, capacity, "%s", names.c_str());
        return 0;
    } catch (...) {
        // The holding's destructor has given back whatever was taken.
        kor_set_error("no inhibition: out of memory");
        return -1;
    }
}

void kor_plat_inhibit_off() noexcept {
    if (!g_active) return;
    delete g_held;  // releases each holder, closes the session connection
    g_held = nullptr;
    g_active = 0;
}

int kor_plat_inhibit_refresh(char *mechanism, size_t capacity) noexcept {
    if (!g_active) return 0;
    try {
        bool changed = false;
        if (!g_held->refresh(changed)) return 0;
        if (changed && mechanism != nullptr && capacity > 0)
            std::snprintf(mechanism, capacity, "%s", g_held->names().c_str());
        return 1;
    } catch (...) {
        return 1;  // out of memory while looking: what held still holds, as far as is known
    }
}

int kor_plat_find_process(const char *name) noexcept {
    if (name == nullptr || name[0] == '\0') return -1;
    try {
        return kor_linux::find_process(name);
    } catch (...) {
        return -1;  // out of memory while walking the list: nothing found
    }
}
