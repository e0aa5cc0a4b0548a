#include "desktop_session.h"

#include "test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace desktest {

namespace {

constexpr const char *kPython = "/usr/bin/python3";

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

struct message_unref {
    void operator()(sd_bus_message *m) const { sd_bus_message_unref(m); }
};
using message_ptr = std::unique_ptr<sd_bus_message, message_unref>;

// One call with a short timeout; null reply when it failed.
message_ptr call(sd_bus *bus, const char *dest, const char *path, const char *iface, const char *member,
                 const char *types = "", uint32_t arg = 0) {
    sd_bus_message *m = nullptr;
    if (sd_bus_message_new_method_call(bus, &m, dest, path, iface, member) < 0) return nullptr;
    message_ptr msg(m);
    if (types[0] != '\0' && sd_bus_message_append(m, types, arg) < 0) return nullptr;
    sd_bus_message_set_auto_start(m, 0);
    sd_bus_message *reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call(bus, m, 3u * 1000u * 1000u, &error, &reply);
    sd_bus_error_free(&error);
    return r < 0 ? nullptr : message_ptr(reply);
}

std::string get_string(sd_bus *bus, const char *path, const char *member) {
    auto reply = call(bus, "org.gnome.SessionManager", path, "org.gnome.SessionManager.Inhibitor", member);
    const char *s = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "s", &s) < 0 || s == nullptr) return "<unreadable>";
    return s;
}

} // namespace

// --- session -----------------------------------------------------------------

session::session() {
    char tmpl[] = "/tmp/korvel-desktop-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        failure_ = "mkdtemp failed";
        return;
    }
    dir_ = tmpl;
    for (const char *sub : {"/home", "/config", "/autostart"}) mkdir((dir_ + sub).c_str(), 0700);
    // The services write settings and sockets under these, never into the
    // real home.
    setenv("HOME", (dir_ + "/home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    unsetenv("DISPLAY");

    const std::string socket = dir_ + "/bus";
    // No <standard_session_servicedirs/>: nothing is started on demand, so a
    // service a test did not start is simply absent.
    write_file(dir_ + "/session.conf",
               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n  <type>session</type>\n  <listen>unix:path=" +
                   socket +
                   "</listen>\n  <auth>EXTERNAL</auth>\n"
                   "  <policy context=\"default\">\n"
                   "    <allow user=\"*\"/><allow own=\"*\"/>\n"
                   "    <allow send_destination=\"*\" eavesdrop=\"true\"/><allow receive_sender=\"*\"/>\n"
                   "    <allow eavesdrop=\"true\"/>\n  </policy>\n</busconfig>\n");
    if (!installed("/usr/bin/dbus-daemon")) {
        failure_ = "dbus-daemon is not installed";
        return;
    }
    start("dbus", {"/usr/bin/dbus-daemon", "--config-file=" + dir_ + "/session.conf", "--nofork", "--nopidfile"});
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    // The socket file appears before the daemon listens on it: ready once it
    // answers.
    if (!wait_for_name("org.freedesktop.DBus")) failure_ = "the session bus did not start: " + log("dbus");
}

session::~session() {
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
    // Services first, the bus last.
    while (!services_.empty()) {
        services_.back().stop_gently(3s);
        services_.pop_back();
    }
    if (!dir_.empty()) kortest::run_command({"rm", "-rf", dir_}, 10s);
}

std::string session::log(const std::string &label) const { return read_file(dir_ + "/" + label + ".log"); }

kortest::child_process &session::start(const std::string &label, const std::vector<std::string> &argv) {
    services_.emplace_back(argv, "", dir_ + "/" + label + ".log");
    return services_.back();
}

std::string session::start_x() {
    if (!installed("/usr/bin/Xvfb")) return "Xvfb is not installed (package xvfb)";
    // -displayfd lets the server pick a free display, so tests on X run in
    // parallel without agreeing on numbers.
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const int write_end = fcntl(fds[1], F_DUPFD, 3);  // kept open across exec
    close(fds[1]);
    start("xvfb", {"/usr/bin/Xvfb", "-displayfd", std::to_string(write_end), "-screen", "0", "1024x768x24",
                   "-nolisten", "tcp", "-nolisten", "unix", "-noreset"});
    close(write_end);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char buf[32];
    while (poll(&p, 1, 15000) > 0) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        number.append(buf, static_cast<size_t>(n));
        if (number.find('\n') != std::string::npos) break;
    }
    close(fds[0]);
    while (!number.empty() && (number.back() == '\n')) number.pop_back();
    if (number.empty()) return "Xvfb did not start: " + log("xvfb");
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return "";
}

bool session::wait_for_name(const std::string &name, std::chrono::milliseconds timeout) {
    return kortest::eventually(
        [&] {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message *r = nullptr;
            int has = 0;
            if (bus() == nullptr) return false;
            const int ok = sd_bus_call_method(bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "NameHasOwner", &error, &r, "s", name.c_str());
            if (ok >= 0) sd_bus_message_read(r, "b", &has);
            sd_bus_message_unref(r);
            sd_bus_error_free(&error);
            return has != 0;
        },
        timeout);
}

sd_bus *session::bus() {
    if (bus_ != nullptr && sd_bus_is_open(bus_) <= 0) bus_ = sd_bus_flush_close_unref(bus_);
    if (bus_ == nullptr && sd_bus_open_user(&bus_) < 0) bus_ = nullptr;
    return bus_;
}

std::string session::start_gnome_session() {
    const std::string binary = "/usr/libexec/gnome-session-binary";
    if (!installed(binary)) return "gnome-session-binary is not installed (package gnome-session-bin)";
    // A session with no required components: the session manager alone.
    const std::string sessions = dir_ + "/config/gnome-session/sessions";
    kortest::run_command({"mkdir", "-p", sessions}, 5s);
    write_file(sessions + "/bare.session", "[GNOME Session]\nName=bare\nRequiredComponents=\n");
    start("gnome-session", {binary, "--builtin", "--session=bare", "-a", dir_ + "/autostart",
                            "--disable-acceleration-check"});
    if (!wait_for_name("org.gnome.SessionManager")) return "gnome-session did not start: " + log("gnome-session");
    return "";
}

std::string session::start_fake(const std::vector<std::string> &roles) {
    if (!installed(kPython)) return "python3 is not installed";
    if (kortest::run_command({kPython, "-c", "import dbus, gi"}, 10s).status != 0)
        return "python3-dbus or python3-gi is not installed";
    std::vector<std::string> argv = {kPython, KORVEL_DESKTOP_DIR "/fake_desktop.py"};
    argv.insert(argv.end(), roles.begin(), roles.end());
    start("fake", argv);
    if (!wait_for_name("org.korvel.TestDesktop")) return "the fake desktop did not start: " + log("fake");
    return "";
}

// --- observing ---------------------------------------------------------------

bool gnome_is_inhibited(sd_bus *bus, uint32_t flag) {
    auto reply = call(bus, "org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
                      "IsInhibited", "u", flag);
    int inhibited = 0;
    if (reply) sd_bus_message_read(reply.get(), "b", &inhibited);
    return inhibited != 0;
}

std::vector<inhibition> gnome_inhibitors(sd_bus *bus) {
    std::vector<inhibition> out;
    auto reply = call(bus, "org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
                      "GetInhibitors");
    if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "o") < 0) return out;
    std::vector<std::string> paths;
    const char *path = nullptr;
    while (sd_bus_message_read(reply.get(), "o", &path) > 0) paths.emplace_back(path);
    for (const auto &p : paths) {
        inhibition i;
        i.role = "gnome";
        i.app = get_string(bus, p.c_str(), "GetAppId");
        i.reason = get_string(bus, p.c_str(), "GetReason");
        auto flags = call(bus, "org.gnome.SessionManager", p.c_str(), "org.gnome.SessionManager.Inhibitor",
                          "GetFlags");
        if (flags) sd_bus_message_read(flags.get(), "u", &i.flags);
        out.push_back(i);
    }
    return out;
}

bool power_has_inhibit(sd_bus *bus) {
    auto reply = call(bus, "org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
                      "org.freedesktop.PowerManagement.Inhibit", "HasInhibit");
    int has = 0;
    if (reply) sd_bus_message_read(reply.get(), "b", &has);
    return has != 0;
}

std::vector<std::string> power_inhibitors(sd_bus *bus) {
    std::vector<std::string> out;
    auto reply = call(bus, "org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
                      "org.freedesktop.PowerManagement.Inhibit", "GetInhibitors");
    if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "s") < 0) return out;
    const char *s = nullptr;
    while (sd_bus_message_read(reply.get(), "s", &s) > 0) out.emplace_back(s);
    return out;
}

std::vector<inhibition> fake_holds(sd_bus *bus) {
    std::vector<inhibition> out;
    auto reply = call(bus, "org.korvel.TestDesktop", "/org/korvel/TestDesktop", "org.korvel.TestDesktop", "Held");
    if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "(sssu)") < 0) return out;
    const char *role = nullptr, *app = nullptr, *reason = nullptr;
    uint32_t flags = 0;
    while (sd_bus_message_read(reply.get(), "(sssu)", &role, &app, &reason, &flags) > 0)
        out.push_back(inhibition{role, app, reason, flags});
    return out;
}

bool x_saver_comes_on() {
    const auto r = kortest::run_command({kPython, KORVEL_DESKTOP_DIR "/x_saver_state.py"}, 20s);
    return r.output.find("on") == 0;
}

bool installed(const std::string &path) { return access(path.c_str(), X_OK) == 0; }

} // namespace desktest
