// A private desktop session for one test: a session bus of its own (nothing
// is auto-started on it) with HOME/XDG dirs in its scratch dir, both from
// tests/bus/private-session.sh; optionally an X server; and the services the
// test starts, all stopped by pid when it ends.
#ifndef KORVEL_DESKTOP_SESSION_H
#define KORVEL_DESKTOP_SESSION_H

#include <systemd/sd-bus.h>
#include <sys/types.h>

#include "korvel.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <deque>
#include <optional>
#include <cstdint>
#include <string>
#include <vector>

// Fails the test when the private session bus could not be started.
#define DESKTEST_NEED_SESSION(s) ASSERT_EQ((s).failure(), "") << "private session bus"

// Skips, naming the package, when a service's program is missing: the
// README's test command installs them all, so CI runs every test.
#define DESKTEST_NEED_PROGRAM(path, package)                                                                           \
    do {                                                                                                               \
        if (!::desktest::installed(path)) GTEST_SKIP() << (path) << " is not installed (package " << (package) << ")"; \
    } while (0)

// Starts a service: skips when it is not installed, fails when it is but does
// not start.
#define DESKTEST_START(expr)                                                       \
    do {                                                                           \
        const std::string why_ = (expr);                                           \
        if (why_.find("not installed") != std::string::npos) GTEST_SKIP() << why_; \
        ASSERT_EQ(why_, "");                                                       \
    } while (0)

namespace kor_linux {
void set_sandbox_marker_for_tests(const char *path);  // the Linux layer's seam
}  // namespace kor_linux

namespace desktest {

using namespace std::chrono_literals;

class session {
public:
    session();
    ~session();
    session(const session &) = delete;
    session &operator=(const session &) = delete;

    // Empty when the bus runs; otherwise why it does not.
    const std::string &failure() const { return failure_; }
    const std::string &dir() const { return dir_; }

    // Starts Xvfb on a free display and exports DISPLAY; "" or why not.
    std::string start_x();
    // Starts a program with stdout and stderr in dir()/label.log; it is asked
    // to end (TERM, then KILL) when the session ends.
    kortest::child_process &start(const std::string &label, const std::vector<std::string> &argv);
    std::string log(const std::string &label) const;
    // True once `name` has an owner on the session bus (within 10 s).
    bool wait_for_name(const std::string &name);
    // The session bus's own process.
    pid_t bus_pid() const;
    // The process that owns `name` on the session bus, or 0.
    pid_t owner_pid(const char *name);

    // Services the tests use; each returns "" when ready, or why not.
    std::string start_gnome_session();
    std::string start_fake(const std::vector<std::string> &roles);

    // The test's own connection, for observing the services.
    sd_bus *bus();

private:
    std::string dir_, failure_;
    std::deque<kortest::child_process> services_;  // deque: references stay valid
    sd_bus *bus_ = nullptr;
};

// --- Observing ---------------------------------------------------------------

struct inhibition {
    std::string role;  // which service (fake services only)
    std::string app, reason;
    uint32_t flags = 0;
};

// org.gnome.SessionManager: IsInhibited(flag), and every inhibitor with its
// app id, reason and flags.
bool gnome_is_inhibited(sd_bus *bus, uint32_t flag);
std::vector<inhibition> gnome_inhibitors(sd_bus *bus);

// org.freedesktop.PowerManagement.Inhibit: HasInhibit (none while the object
// does not answer) and GetInhibitors.
std::optional<bool> power_has_inhibit(sd_bus *bus);
std::vector<std::string> power_inhibitors(sd_bus *bus);

// What the fake services hold (fake_desktop.py): all, or those of one role.
std::vector<inhibition> fake_holds(sd_bus *bus, const char *role = nullptr);
// Makes the fake services give up `name` while they go on running; true
// once they have.
bool fake_release_name(sd_bus *bus, const char *name);

// Whether the X screen saver comes on after a 1 s timeout: false while
// something suspends it. Takes about 2 s.
bool x_saver_comes_on();

// Whether the program at `path` is installed (tests skip, naming the package,
// when it is not).
bool installed(const std::string &path);

// --- The library, driven as a host drives it ---------------------------------

// What every service is told holds the inhibition: this program's name.
std::string our_app_id();

// The "mechanism" of kor_status.
std::string status_mechanism();

// kor_on; "" on success, otherwise "refused: " and kor_last_error().
std::string turn_on(const std::string &options);

// A copy of this test process that calls kor_on(options) and then waits to
// be killed; killed (SIGKILL) and reaped when destroyed.
class forked_host {
public:
    explicit forked_host(const std::string &options);
    ~forked_host();
    forked_host(const forked_host &) = delete;
    forked_host &operator=(const forked_host &) = delete;
    // "on <mechanism>" or "refused: <message>".
    const std::string &outcome() const { return outcome_; }
    pid_t pid() const { return pid_; }
    void kill_now();

private:
    pid_t pid_ = -1;
    std::string outcome_;
};

// Every way an activation ends must take the service's inhibitor away: kor_off,
// the timed end, the exit of the watched process, and the host being killed.
// `held` observes the service; `mechanism` is what the status must report.
// `options_extra` is added to every options object (e.g. "\"keep_display\":true").
void expect_every_ending_releases(const std::function<bool()> &held, const std::string &mechanism,
                                  const std::string &options_extra = "");

// While it lives, the library (linked from its objects) believes it runs
// inside a Flatpak sandbox: the sandbox's marker file is one in `dir`.
class pretend_sandbox {
public:
    explicit pretend_sandbox(const std::string &dir) : marker_(dir + "/flatpak-info") {
        std::ofstream(marker_) << "[Application]\nname=org.example.Host\n";
        kor_linux::set_sandbox_marker_for_tests(marker_.c_str());
    }
    ~pretend_sandbox() { kor_linux::set_sandbox_marker_for_tests(nullptr); }
    pretend_sandbox(const pretend_sandbox &) = delete;
    pretend_sandbox &operator=(const pretend_sandbox &) = delete;

private:
    std::string marker_;
};

}  // namespace desktest

#endif  // KORVEL_DESKTOP_SESSION_H
