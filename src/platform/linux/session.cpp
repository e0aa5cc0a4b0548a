// The desktop session's own inhibitors, on the session bus: GNOME's session
// manager, the freedesktop ScreenSaver (KDE Plasma, xscreensaver, xssproxy),
// freedesktop PowerManagement (XFCE, KDE Plasma) and, inside a Flatpak
// sandbox, the desktop portal.
#include "session.h"

#include "kor_linux_seam.h"
#include "text.h"

#include <unistd.h>

namespace kor_linux {

// How a service's Inhibit call takes its arguments.
enum class inhibit_args {
    app_reason,            // (s app_id, s reason)
    app_xid_reason_flags,  // (s app_id, u toplevel_xid = 0, s reason, u flags)
};

// A service that answers Inhibit with a cookie and is released by handing
// the cookie back.
struct session_service {
    const char *name;  // as the mechanism text names it
    const char *destination;
    const char *paths[2];  // tried in order while the service does not know the object
    const char *interface;
    inhibit_args args;
    const char *release_member;
    bool display_only;  // says nothing about suspend: asked only to keep the display on
};

namespace {

// A desktop service answers in milliseconds; one that takes longer is hung,
// and kor_on waits under the core's lock. Half the session side's budget, so
// that the next service is still asked after one that hangs.
constexpr uint64_t kCallCapUsec = 500u * 1000u;
// The portal, asked last and started on demand, may take what is left.
constexpr uint64_t kPortalCallCapUsec = 1000u * 1000u;

// GNOME's and the portal's inhibit flags.
constexpr uint32_t kFlagSuspend = 4;
constexpr uint32_t kFlagIdle = 8;

constexpr const char *kPortal = "org.freedesktop.portal.Desktop";

// In order of preference.
const session_service kServices[] = {
    {"gnome-session",
     "org.gnome.SessionManager",
     {"/org/gnome/SessionManager", nullptr},
     "org.gnome.SessionManager",
     inhibit_args::app_xid_reason_flags,
     "Uninhibit",
     false},
    // KDE and xscreensaver answer on the first path, xssproxy only on the second.
    {"screensaver",
     "org.freedesktop.ScreenSaver",
     {"/org/freedesktop/ScreenSaver", "/ScreenSaver"},
     "org.freedesktop.ScreenSaver",
     inhibit_args::app_reason,
     "UnInhibit",
     true},
    {"power-management",
     "org.freedesktop.PowerManagement",
     {"/org/freedesktop/PowerManagement/Inhibit", nullptr},
     "org.freedesktop.PowerManagement.Inhibit",
     inhibit_args::app_reason,
     "UnInhibit",
     false},
};

const char *g_sandbox_marker = nullptr;  // tests only; null means /.flatpak-info

uint32_t suspend_and_idle_flags(const inhibit_request &request) {
    return request.keep_display ? kFlagSuspend | kFlagIdle : kFlagSuspend;
}

// Outside a sandbox the portal hands back a request even when nothing
// honours it, so it would claim a hold that does not exist.
bool in_flatpak_sandbox() {
    return access(g_sandbox_marker != nullptr ? g_sandbox_marker : "/.flatpak-info", F_OK) == 0;
}

// The connection that answered: a hold ends with it.
std::string sender_of(sd_bus_message *reply) {
    const char *sender = sd_bus_message_get_sender(reply);
    return sender != nullptr ? sender : "";
}

// A service that is not running fails at once rather than being started by
// the bus on our behalf: a desktop's power manager that happens to be
// installed must not be launched into another desktop's session.
int call_inhibit(sd_bus *session, const deadline &limit, const session_service &s, const char *path,
                 const inhibit_request &request, bus_error &error, message_ptr &reply) {
    const method inhibit{s.destination, path, s.interface, "Inhibit"};
    if (s.args == inhibit_args::app_xid_reason_flags)
        return call_method(session, limit, kCallCapUsec, false, inhibit, error, reply, "susu", request.app_id.c_str(),
                           uint32_t{0}, request.reason.c_str(), suspend_and_idle_flags(request));
    return call_method(session, limit, kCallCapUsec, false, inhibit, error, reply, "ss", request.app_id.c_str(),
                       request.reason.c_str());
}

bool service_acquire(sd_bus *session, const deadline &limit, const session_service &s, const inhibit_request &request,
                     session_hold &hold, std::string &why) {
    for (const char *path : s.paths) {
        if (path == nullptr) break;
        bus_error error;
        message_ptr reply;
        const int r = call_inhibit(session, limit, s, path, request, error, reply);
        if (r >= 0) {
            if (sd_bus_message_read(reply.get(), "u", &hold.cookie) < 0) {
                why = "reply unreadable";
                return false;
            }
            hold.service = &s;
            hold.path = path;
            hold.name = s.name;
            hold.bus_name = s.destination;
            hold.owner = sender_of(reply.get());
            return true;
        }
        why = error.brief(r);
        // Only a service that is there but does not know this object may
        // still answer on the next path.
        if (!error.wrong_object()) return false;
    }
    return false;
}

bool portal_acquire(sd_bus *session, const deadline &limit, const inhibit_request &request, session_hold &hold,
                    std::string &why) {
    bus_error error;
    message_ptr reply;
    // The portal is started on demand, unlike the desktop's own services.
    const method inhibit{kPortal, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Inhibit", "Inhibit"};
    const int r = call_method(session, limit, kPortalCallCapUsec, true, inhibit, error, reply, "sua{sv}", "",
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
    hold.path = handle;
    hold.name = "portal";
    hold.bus_name = kPortal;
    hold.owner = sender_of(reply.get());
    return true;
}

int on_name_owner_changed(sd_bus_message *m, void *userdata, sd_bus_error *) {
    auto &events = *static_cast<name_events *>(userdata);
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0) return 0;
    try {
        events.changes.push_back({name, old_owner, new_owner});
    } catch (...) {
        events.missed = true;
    }
    return 0;
}

// A subscription the bus refuses leaves that name unwatched; the connection
// itself goes on.
int ignore_refusal(sd_bus_message *, void *, sd_bus_error *) { return 0; }

void watch_name(sd_bus *session, const char *name, name_events &events) {
    const std::string rule = std::string(
                                 "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                 "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
                             name + "'";
    sd_bus_add_match_async(session, nullptr, rule.c_str(), on_name_owner_changed, ignore_refusal, &events);
}

}  // namespace

void session_watch_names(sd_bus *session, const inhibit_request &request, name_events &events) {
    for (const session_service &s : kServices)
        if (!s.display_only || request.keep_display) watch_name(session, s.destination, events);
    if (in_flatpak_sandbox()) watch_name(session, kPortal, events);
}

void set_sandbox_marker_for_tests(const char *path) { g_sandbox_marker = path; }

bool session_acquire(sd_bus *session, const deadline &limit, const inhibit_request &request, session_hold &hold,
                     std::string &failures) {
    for (const session_service &s : kServices) {
        if (s.display_only && !request.keep_display) continue;
        std::string why;
        if (service_acquire(session, limit, s, request, hold, why)) return true;
        append_failure(failures, s.name, why);
    }
    if (!in_flatpak_sandbox()) return false;
    std::string why;
    if (portal_acquire(session, limit, request, hold, why)) return true;
    append_failure(failures, "portal", why);
    return false;
}

void session_release(sd_bus *session, session_hold &hold) {
    if (hold.name == nullptr) return;
    if (hold.service != nullptr) {
        const session_service &s = *hold.service;
        send_method(session, {s.destination, hold.path.c_str(), s.interface, s.release_member}, "u", hold.cookie);
    } else {
        send_method(session, {kPortal, hold.path.c_str(), "org.freedesktop.portal.Request", "Close"}, "");
    }
    hold = session_hold{};
}

name_news read_name_events(name_events &events, const session_hold &hold) {
    name_news news;
    news.hold_lost = news.name_taken = events.missed;
    for (const auto &c : events.changes) {
        // Only the name it holds by: the holder's connection may give up
        // another name it owned and hold on.
        if (hold.bus_name != nullptr && c.name == hold.bus_name && c.old_owner == hold.owner) news.hold_lost = true;
        if (!c.new_owner.empty()) news.name_taken = true;
    }
    events.changes.clear();
    events.missed = false;
    return news;
}

}  // namespace kor_linux
