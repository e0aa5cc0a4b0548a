// The desktop session's own inhibitors, on the session bus: GNOME's session
// manager, the freedesktop ScreenSaver (KDE Plasma, xscreensaver, xssproxy),
// freedesktop PowerManagement (XFCE, KDE Plasma) and, inside a Flatpak
// sandbox, the desktop portal.
#include "posix_backends.h"

#include <unistd.h>

namespace kor_posix {

namespace {

// A desktop service answers in milliseconds; one that takes longer is hung,
// and kor_on waits under the core's lock.
constexpr uint64_t kCallCapUsec = 1000u * 1000u;
// The release also ends with the connection's close, so it waits less.
constexpr uint64_t kReleaseBudgetUsec = 500u * 1000u;

// GNOME's and the portal's inhibit flags.
constexpr uint32_t kFlagSuspend = 4;
constexpr uint32_t kFlagIdle = 8;

const char *g_sandbox_marker = nullptr;  // tests only; null means /.flatpak-info

uint32_t suspend_and_idle_flags(const inhibit_request &request) {
    return request.keep_display ? kFlagSuspend | kFlagIdle : kFlagSuspend;
}

bool read_cookie(sd_bus_message *reply, held_token &token, std::string &why) {
    const int r = sd_bus_message_read(reply, "u", &token.cookie);
    if (r < 0) {
        why = "reply unreadable";
        return false;
    }
    return true;
}

void release_cookie(sd_bus *session, const char *destination, const char *path, const char *interface,
                    const char *member, uint32_t cookie) {
    const deadline limit(kReleaseBudgetUsec);
    bus_error error;
    message_ptr reply;
    call_method(session, limit, kReleaseBudgetUsec, false, destination, path, interface, member, error, reply,
                "u", cookie);
}

constexpr const char *kGnomeName = "org.gnome.SessionManager";
constexpr const char *kGnomePath = "/org/gnome/SessionManager";
constexpr const char *kScreenSaverName = "org.freedesktop.ScreenSaver";
// KDE and xscreensaver answer on the first, xssproxy only on the second.
constexpr const char *kScreenSaverPaths[] = {"/org/freedesktop/ScreenSaver", "/ScreenSaver"};
constexpr const char *kPowerName = "org.freedesktop.PowerManagement";
constexpr const char *kPowerPath = "/org/freedesktop/PowerManagement/Inhibit";
constexpr const char *kPowerInterface = "org.freedesktop.PowerManagement.Inhibit";
constexpr const char *kPortalName = "org.freedesktop.portal.Desktop";

} // namespace

void set_sandbox_marker_for_tests(const char *path) { g_sandbox_marker = path; }

bool in_flatpak_sandbox() {
    return access(g_sandbox_marker != nullptr ? g_sandbox_marker : "/.flatpak-info", F_OK) == 0;
}

// --- org.gnome.SessionManager -----------------------------------------------

bool gnome_acquire(sd_bus *session, const deadline &limit, const inhibit_request &request, held_token &token,
                   std::string &why) {
    bus_error error;
    message_ptr reply;
    const uint32_t toplevel_xid = 0;
    const int r = call_method(session, limit, kCallCapUsec, false, kGnomeName, kGnomePath, kGnomeName, "Inhibit",
                              error, reply, "susu", request.app_id.c_str(), toplevel_xid,
                              request.reason.c_str(), suspend_and_idle_flags(request));
    if (r < 0) {
        why = error.brief(r);
        return false;
    }
    return read_cookie(reply.get(), token, why);
}

void gnome_release(sd_bus *session, held_token &token) {
    release_cookie(session, kGnomeName, kGnomePath, kGnomeName, "Uninhibit", token.cookie);
}

// --- org.freedesktop.ScreenSaver --------------------------------------------

bool screensaver_acquire(sd_bus *session, const deadline &limit, const inhibit_request &request,
                         held_token &token, std::string &why) {
    for (const char *path : kScreenSaverPaths) {
        bus_error error;
        message_ptr reply;
        const int r = call_method(session, limit, kCallCapUsec, false, kScreenSaverName, path, kScreenSaverName,
                                  "Inhibit", error, reply, "ss", request.app_id.c_str(), request.reason.c_str());
        if (r >= 0) {
            token.path = path;
            return read_cookie(reply.get(), token, why);
        }
        why = error.brief(r);
        // Only a service that is there but does not know this object may
        // still answer on the other path.
        if (!error.wrong_object()) return false;
    }
    return false;
}

void screensaver_release(sd_bus *session, held_token &token) {
    release_cookie(session, kScreenSaverName, token.path.c_str(), kScreenSaverName, "UnInhibit", token.cookie);
}

// --- org.freedesktop.PowerManagement.Inhibit --------------------------------

bool power_management_acquire(sd_bus *session, const deadline &limit, const inhibit_request &request,
                              held_token &token, std::string &why) {
    bus_error error;
    message_ptr reply;
    const int r = call_method(session, limit, kCallCapUsec, false, kPowerName, kPowerPath, kPowerInterface,
                              "Inhibit", error, reply, "ss", request.app_id.c_str(), request.reason.c_str());
    if (r < 0) {
        why = error.brief(r);
        return false;
    }
    return read_cookie(reply.get(), token, why);
}

void power_management_release(sd_bus *session, held_token &token) {
    release_cookie(session, kPowerName, kPowerPath, kPowerInterface, "UnInhibit", token.cookie);
}

// --- org.freedesktop.portal.Inhibit -----------------------------------------

bool portal_acquire(sd_bus *session, const deadline &limit, const inhibit_request &request, held_token &token,
                    std::string &why) {
    bus_error error;
    message_ptr reply;
    // The portal is started on demand, unlike the desktop's own services.
    const int r = call_method(session, limit, kCallCapUsec, true, kPortalName, "/org/freedesktop/portal/desktop",
                              "org.freedesktop.portal.Inhibit", "Inhibit", error, reply, "sua{sv}", "",
                              suspend_and_idle_flags(request), 1, "reason", "s", request.reason.c_str());
    if (r < 0) {
        why = error.brief(r);
        return false;
    }
    const char *handle = nullptr;
    if (sd_bus_message_read(reply.get(), "o", &handle) < 0 || handle == nullptr) {
        why = "reply unreadable";
        return false;
    }
    token.path = handle;
    return true;
}

void portal_release(sd_bus *session, held_token &token) {
    const deadline limit(kReleaseBudgetUsec);
    bus_error error;
    message_ptr reply;
    call_method(session, limit, kReleaseBudgetUsec, false, kPortalName, token.path.c_str(),
                "org.freedesktop.portal.Request", "Close", error, reply, "");
}

} // namespace kor_posix
