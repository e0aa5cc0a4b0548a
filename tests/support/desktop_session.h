// A private desktop session for one test: a session bus of its own (nothing
// is auto-started on it) with HOME/XDG dirs in its scratch dir, both from
// tests/bus/private-session.sh; optionally an X server; and the services the
// test starts, all stopped by pid when it ends.
#ifndef KORVEL_DESKTOP_SESSION_H
#define KORVEL_DESKTOP_SESSION_H

#include <systemd/sd-bus.h>
#include <sys/types.h>

#include "test_support.h"

#include <chrono>
#include <deque>
#include <optional>
#include <cstdint>
#include <string>
#include <vector>

// Fails the test when the private session bus could not be started.
#define DESKTEST_NEED_SESSION(s) ASSERT_EQ((s).failure(), "") << "private session bus"

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

}  // namespace desktest

#endif  // KORVEL_DESKTOP_SESSION_H
