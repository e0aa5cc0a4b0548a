// korvel --list and --check on Linux: logind's inhibitors and settings on the
// system bus, the desktop session's inhibitors on the session bus (sd-bus).
#include "inspect.h"

#include "bus.h"
#include "logind_conf.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace korcli::inspect {

namespace {

constexpr const char *kLogind = "org.freedesktop.login1";
constexpr const char *kLogindPath = "/org/freedesktop/login1";
constexpr const char *kLogindManager = "org.freedesktop.login1.Manager";

// logind answers at once; a desktop service that hangs is not waited for long.
constexpr uint64_t kSystemTimeoutUsec = 5000000;
constexpr uint64_t kSessionTimeoutUsec = 1000000;

// The Linux layer's owners of buses, messages and errors.
using kor_linux::bus_error;
using kor_linux::bus_ptr;
using kor_linux::message_ptr;

std::string error_text(const bus_error &error, int r) { return error.e.message ? error.e.message : std::strerror(-r); }

bool no_such_service(const bus_error &error) {
    return sd_bus_error_has_name(&error.e, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
           sd_bus_error_has_name(&error.e, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

// `none_here` tells a bus that does not exist here (a server, sudo, cron)
// from one that exists but fails.
bus_ptr open_bus(bool system, std::string &why, bool *none_here = nullptr) {
    if (!system && !std::getenv("DBUS_SESSION_BUS_ADDRESS") && !std::getenv("XDG_RUNTIME_DIR")) {
        why = "no session bus: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set";
        if (none_here) *none_here = true;
        return nullptr;
    }
    sd_bus *raw = nullptr;
    const int r = system ? sd_bus_open_system(&raw) : sd_bus_open_user(&raw);
    if (r < 0) {
        why = std::string(system ? "system" : "session") + " bus unreachable: " + std::strerror(-r);
        if (none_here) *none_here = r == -ENOENT || r == -ECONNREFUSED || r == -ENOMEDIUM;
        return nullptr;
    }
    sd_bus_set_method_call_timeout(raw, system ? kSystemTimeoutUsec : kSessionTimeoutUsec);
    return bus_ptr(raw);
}

// A method call without arguments. Services that are not running are not
// started for it: a listing must not change what it lists.
struct reply {
    message_ptr message;
    std::string why;      // when there is no message
    bool absent = false;  // the service is not running
};

reply call(sd_bus *bus, const char *service, const char *path, const char *interface, const char *method) {
    reply out;
    sd_bus_message *m = nullptr;
    int r = sd_bus_message_new_method_call(bus, &m, service, path, interface, method);
    if (r < 0) {
        out.why = std::strerror(-r);
        return out;
    }
    message_ptr request(m);
    sd_bus_message_set_auto_start(m, 0);
    bus_error error;
    sd_bus_message *answer = nullptr;
    r = sd_bus_call(bus, m, 0, &error.e, &answer);
    out.message.reset(answer);
    if (r < 0) {
        out.absent = no_such_service(error);
        out.why = std::string(method) + " failed: " + error_text(error, r);
    }
    return out;
}

std::string read_string(sd_bus *bus, const char *service, const char *path, const char *interface, const char *method) {
    const reply answer = call(bus, service, path, interface, method);
    const char *text = nullptr;
    if (!answer.message || sd_bus_message_read(answer.message.get(), "s", &text) < 0 || text == nullptr) return "";
    return text;
}

std::string user_name(uid_t uid) {
    char buffer[4096];
    struct passwd entry, *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return "";
    return found->pw_name;
}

std::string process_name(uint32_t pid) {
    std::string name;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
    return name;
}

// ---------------------------------------------------------------------------
// The lists

bool list_logind(sd_bus *bus, hold_list &out) {
    reply answer = call(bus, kLogind, kLogindPath, kLogindManager, "ListInhibitors");
    if (!answer.message) {
        out.unlisted.push_back({"logind", answer.why});
        return false;
    }
    sd_bus_message *m = answer.message.get();
    if (sd_bus_message_enter_container(m, 'a', "(ssssuu)") < 0) {
        out.unlisted.push_back({"logind", "ListInhibitors answered in an unknown form"});
        return false;
    }
    const char *what, *who, *why, *mode;
    uint32_t uid, pid;
    while (sd_bus_message_read(m, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
        listed_hold h{"logind", who, what, why, mode, true, uid, pid, user_name(uid), process_name(pid)};
        out.holds.push_back(std::move(h));
    }
    return true;
}

// Desktop services name neither a uid nor a pid.
listed_hold desktop_hold(const char *source, std::string who, std::string what, std::string why) {
    listed_hold h;
    h.source = source;
    h.who = std::move(who);
    h.what = std::move(what);
    h.why = std::move(why);
    h.mode = "block";
    return h;
}

// gnome-session's inhibitor flags, as logind names the same things.
std::string gnome_flags_text(uint32_t flags) {
    static const std::pair<uint32_t, const char *> names[] = {
        {1, "logout"}, {2, "switch-user"}, {4, "sleep"}, {8, "idle"}, {16, "automount"}};
    std::string out;
    for (const auto &[bit, name] : names)
        if (flags & bit) out += (out.empty() ? "" : ":") + std::string(name);
    return out;
}

void list_gnome_session(sd_bus *bus, hold_list &out) {
    const char *service = "org.gnome.SessionManager", *inhibitor = "org.gnome.SessionManager.Inhibitor";
    reply answer = call(bus, service, "/org/gnome/SessionManager", service, "GetInhibitors");
    if (!answer.message) {
        if (!answer.absent) out.unlisted.push_back({"gnome-session", answer.why});
        return;
    }
    sd_bus_message *m = answer.message.get();
    std::vector<std::string> paths;
    const char *path = nullptr;
    if (sd_bus_message_enter_container(m, 'a', "o") >= 0)
        while (sd_bus_message_read(m, "o", &path) > 0) paths.emplace_back(path);
    for (const std::string &p : paths) {
        const reply flags = call(bus, service, p.c_str(), inhibitor, "GetFlags");
        uint32_t bits = 0;
        if (flags.message) sd_bus_message_read(flags.message.get(), "u", &bits);
        out.holds.push_back(desktop_hold("gnome-session", read_string(bus, service, p.c_str(), inhibitor, "GetAppId"),
                                         gnome_flags_text(bits),
                                         read_string(bus, service, p.c_str(), inhibitor, "GetReason")));
    }
}

// XFCE's power manager lists only the applications that hold.
void list_power_management(sd_bus *bus, hold_list &out) {
    const char *service = "org.freedesktop.PowerManagement", *interface = "org.freedesktop.PowerManagement.Inhibit";
    reply answer = call(bus, service, "/org/freedesktop/PowerManagement/Inhibit", interface, "GetInhibitors");
    if (!answer.message) {
        if (!answer.absent) out.unlisted.push_back({"power-management", answer.why});
        return;
    }
    sd_bus_message *m = answer.message.get();
    const char *app = nullptr;
    if (sd_bus_message_enter_container(m, 'a', "s") >= 0)
        while (sd_bus_message_read(m, "s", &app) > 0)
            out.holds.push_back(desktop_hold("power-management", app, "sleep", ""));
}

std::string logind_property(sd_bus *bus, const char *name, std::string &problem) {
    bus_error error;
    char *value = nullptr;
    const int r = sd_bus_get_property_string(bus, kLogind, kLogindPath, kLogindManager, name, &error.e, &value);
    if (r < 0) {
        if (problem.empty()) problem = std::string("cannot read logind's ") + name + ": " + error_text(error, r);
        return "";
    }
    std::string out = value;
    std::free(value);
    return out;
}

struct creds_unref {
    void operator()(sd_bus_creds *c) const { sd_bus_creds_unref(c); }
};

// The owner of logind's name on the system bus, by its executable (or, for
// a user who may not read that, its process name); else what the machine
// has: systemd as init, or elogind's folder.
logind_daemon running_logind() {
    std::string why;
    sd_bus_creds *raw = nullptr;
    bus_ptr bus = open_bus(true, why);
    const uint64_t mask = SD_BUS_CREDS_EXE | SD_BUS_CREDS_COMM | SD_BUS_CREDS_AUGMENT;
    if (bus && sd_bus_get_name_creds(bus.get(), kLogind, mask, &raw) >= 0) {
        const std::unique_ptr<sd_bus_creds, creds_unref> creds(raw);
        const char *name = nullptr;
        if (sd_bus_creds_get_exe(raw, &name) >= 0 || sd_bus_creds_get_comm(raw, &name) >= 0)
            return logind_daemon_named(name);
    }
    if (access("/run/systemd/system", F_OK) != 0 && access("/etc/elogind", F_OK) == 0) return logind_daemon::elogind;
    return logind_daemon::systemd;
}

}  // namespace

hold_list list_holds() {
    hold_list out;
    std::string why;
    bus_ptr system = open_bus(true, why);
    if (!system) out.unlisted.push_back({"logind", why});
    out.failed = !system || !list_logind(system.get(), out);
    bool none_here = false;
    bus_ptr session = open_bus(false, why, &none_here);
    if (!session) {
        out.unlisted.push_back({"desktop session", why, none_here});
        return out;
    }
    list_gnome_session(session.get(), out);
    list_power_management(session.get(), out);
    return out;
}

login_policy read_login_policy() {
    login_policy out;
    bus_ptr bus = open_bus(true, out.problem);
    if (!bus) return out;
    out.lid = logind_property(bus.get(), "HandleLidSwitch", out.problem);
    out.lid_external_power = logind_property(bus.get(), "HandleLidSwitchExternalPower", out.problem);
    out.lid_docked = logind_property(bus.get(), "HandleLidSwitchDocked", out.problem);
    out.idle_action = logind_property(bus.get(), "IdleAction", out.problem);
    bus_error error;
    sd_bus_get_property_trivial(bus.get(), kLogind, kLogindPath, kLogindManager, "IdleActionUSec", &error.e, 't',
                                &out.idle_action_usec);
    return out;
}

lid_setting lid_switch_ignore_inhibited() { return read_lid_setting(running_logind()); }

std::string session_bus_problem() {
    std::string why;
    bus_ptr bus = open_bus(false, why);
    if (!bus) return why;
    const reply answer = call(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer",
                              "Ping");
    return answer.message ? "" : "session bus unreachable: " + answer.why;
}

std::string polkit_example_rule() {
    // An installed tree may be unpacked anywhere: look beside the command first.
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, static_cast<size_t>(n));
        dir.erase(dir.find_last_of('/') + 1);
        const std::string beside = dir + KORVEL_POLKIT_RULE_FROM_BIN;
        std::unique_ptr<char, decltype(&std::free)> real(realpath(beside.c_str(), nullptr), &std::free);
        if (real) return real.get();
    }
    return KORVEL_POLKIT_RULE;
}

std::string this_user() {
    const std::string name = this_user_name(), uid = "uid " + std::to_string(geteuid());
    return name.empty() ? uid : name + " (" + uid + ")";
}

std::string this_user_name() { return user_name(geteuid()); }

}  // namespace korcli::inspect
