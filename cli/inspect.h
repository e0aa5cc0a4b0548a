// What korvel --list and --check read from the system besides the library:
// the holds that logind and the desktop session list, and the policies that
// decide what a hold achieves. inspect_linux.cpp and inspect_win.cpp
// implement it; CMake compiles the one that fits.
#ifndef KORVEL_CLI_INSPECT_H
#define KORVEL_CLI_INSPECT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korcli::inspect {

// A hold as the service that keeps it lists it.
struct listed_hold {
    std::string source;  // "logind", "gnome-session", "power-management"
    std::string who, what, why, mode;
    bool has_process = false;  // logind names the uid and pid; desktops do not
    uint32_t uid = 0, pid = 0;
    std::string user, comm;  // the uid's name and the process's, "" when unknown
};

// A service that holds may exist but could not be asked.
struct unlisted_source {
    std::string source, why;
    bool none_here = false;  // there is no such service here to ask: nothing is missing
};

struct hold_list {
    bool failed = false;             // the system's own list (logind's) could not be read
    std::vector<listed_hold> holds;  // logind's first, then the desktop's
    std::vector<unlisted_source> unlisted;
};

hold_list list_holds();

// What logind does by itself, whatever a program asks.
struct login_policy {
    std::string problem;                              // "" when logind answered
    std::string lid, lid_external_power, lid_docked;  // HandleLidSwitch, ...ExternalPower, ...Docked
    std::string idle_action;                          // IdleAction
    uint64_t idle_action_usec = 0;
};

login_policy read_login_policy();

// LidSwitchIgnoreInhibited, which logind does not publish on the bus, as the
// logind that answers reads it from its files, and how its administrator
// changes it.
struct lid_setting {
    std::optional<bool> ignores_locks;  // unset when no file sets it: logind's default, yes
    std::string written;                // the value as that file spells it
    std::string file;                   // the file whose assignment counts
    std::string daemon;                 // "systemd-logind", "elogind"
    std::string drop_in;                // a drop-in that would come after that file
    std::string reread;                 // the command that has the daemon read its files again
};

lid_setting lid_switch_ignore_inhibited();

// "" when a session bus answers; else why not.
std::string session_bus_problem();

// The installed example polkit rule that lets a group take the lock.
std::string polkit_example_rule();

// "root (uid 0)", "alice (uid 1000)".
std::string this_user();
// "alice"; "" when the system has no name for the user.
std::string this_user_name();

}  // namespace korcli::inspect

#endif  // KORVEL_CLI_INSPECT_H
