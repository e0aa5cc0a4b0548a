#include "desktop_session.h"

#include "test_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
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

}  // namespace

// --- session -----------------------------------------------------------------

// The bus (and GNOME's session manager) come from tests/bus/private-session.sh,
// which scripts/bench.sh uses too; it prints the environment that reaches
// the bus, one NAME=value a line.
session::session() {
    const auto started = kortest::run_command({KORVEL_SESSION_SCRIPT, "start"}, 20s);
    if (started.status != 0) {
        failure_ = started.output;
        return;
    }
    std::istringstream lines(started.output);
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = line.substr(0, equals), value = line.substr(equals + 1);
        if (name == "KORVEL_SESSION_DIR") dir_ = value;
        else setenv(name.c_str(), value.c_str(), 1);
    }
    // Only the X server a test starts, never the machine's display.
    unsetenv("DISPLAY");
    if (dir_.empty()) failure_ = "private-session.sh named no folder: " + started.output;
}

session::~session() {
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
    // The test's services first, then what the script started.
    while (!services_.empty()) {
        services_.back().stop_gently(3s);
        services_.pop_back();
    }
    if (!dir_.empty()) kortest::run_command({KORVEL_SESSION_SCRIPT, "stop", dir_}, 30s);
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
    // No lock file and no socket file in the shared /tmp: servers of other
    // namespaces may pick the same display number.
    start("xvfb", {"/usr/bin/Xvfb", "-displayfd", std::to_string(write_end), "-screen", "0", "1024x768x24", "-nolisten",
                   "tcp", "-nolisten", "unix", "-nolock", "-noreset"});
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

bool session::wait_for_name(const std::string &name) {
    return kortest::run_command({KORVEL_SESSION_SCRIPT, "wait", dir_, name}, 20s).status == 0;
}

pid_t session::bus_pid() const {
    // The script notes each program it started, the bus first.
    pid_t pid = 0;
    std::istringstream(read_file(dir_ + "/pids")) >> pid;
    return pid;
}

pid_t session::owner_pid(const char *name) {
    sd_bus_message *reply = nullptr;
    uint32_t pid = 0;
    if (sd_bus_call_method(bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetConnectionUnixProcessID", nullptr, &reply, "s", name) >= 0)
        sd_bus_message_read(reply, "u", &pid);
    sd_bus_message_unref(reply);
    return static_cast<pid_t>(pid);
}

sd_bus *session::bus() {
    if (bus_ != nullptr && sd_bus_is_open(bus_) <= 0) bus_ = sd_bus_flush_close_unref(bus_);
    if (bus_ == nullptr && sd_bus_open_user(&bus_) < 0) bus_ = nullptr;
    return bus_;
}

std::string session::start_gnome_session() {
    auto r = kortest::run_command({KORVEL_SESSION_SCRIPT, "gnome", dir_}, 20s);
    while (!r.output.empty() && r.output.back() == '\n') r.output.pop_back();
    return r.status == 0 ? "" : r.output;
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
        auto flags = call(bus, "org.gnome.SessionManager", p.c_str(), "org.gnome.SessionManager.Inhibitor", "GetFlags");
        if (flags) sd_bus_message_read(flags.get(), "u", &i.flags);
        out.push_back(i);
    }
    return out;
}

std::optional<bool> power_has_inhibit(sd_bus *bus) {
    auto reply = call(bus, "org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
                      "org.freedesktop.PowerManagement.Inhibit", "HasInhibit");
    int has = 0;
    if (!reply || sd_bus_message_read(reply.get(), "b", &has) < 0) return std::nullopt;
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

std::vector<inhibition> fake_holds(sd_bus *bus, const char *role_wanted) {
    std::vector<inhibition> out;
    auto reply = call(bus, "org.korvel.TestDesktop", "/org/korvel/TestDesktop", "org.korvel.TestDesktop", "Held");
    if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "(sssu)") < 0) return out;
    const char *role = nullptr, *app = nullptr, *reason = nullptr;
    uint32_t flags = 0;
    while (sd_bus_message_read(reply.get(), "(sssu)", &role, &app, &reason, &flags) > 0) {
        if (role_wanted == nullptr || std::string(role) == role_wanted) out.push_back({role, app, reason, flags});
    }
    return out;
}

bool fake_release_name(sd_bus *bus, const char *name) {
    return sd_bus_call_method(bus, "org.korvel.TestDesktop", "/org/korvel/TestDesktop", "org.korvel.TestDesktop",
                              "ReleaseName", nullptr, nullptr, "s", name) >= 0;
}

bool x_saver_comes_on() {
    const auto r = kortest::run_command({kPython, KORVEL_DESKTOP_DIR "/x_saver_state.py"}, 20s);
    return r.output.find("on") == 0;
}

bool installed(const std::string &path) { return access(path.c_str(), X_OK) == 0; }

}  // namespace desktest
