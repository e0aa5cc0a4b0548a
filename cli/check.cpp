// korvel --check: takes a lock and releases it at once, then reads what
// logind and the desktop do whatever a lock says, so that "it went to sleep
// anyway" is explained before it happens, with what to do about it.
#include "inspect.h"
#include "reports.h"

#include <algorithm>
#include <cstdio>

namespace korcli {

namespace {

using inspect::login_policy;

struct point {
    std::string label;               // "Lock", "Lid", "Idle", "Desktop"
    std::vector<std::string> lines;  // the finding, then what to do
};

void print_point(const point &p) {
    const std::string label = p.label + ":";
    for (size_t i = 0; i < p.lines.size(); ++i)
        std::printf("%-9s %s\n", i == 0 ? label.c_str() : "", p.lines[i].c_str());
}

struct lock_test {
    bool taken = false;
    std::string mechanism;  // when taken
    std::string refusal;    // when not
};

lock_test try_a_lock(bool display) {
    request req;
    req.display = display;
    req.name = "korvel --check";
    lock_test t;
    hold h;
    t.taken = h.start(req);
    if (t.taken) t.mechanism = h.current().mechanism;
    else t.refusal = h.refusal();
    return t;
}

bool contains(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

// What a user refused by logind can do: polkit's consent for a group, or
// root holding the lock for the user's own shell.
std::vector<std::string> permission_advice() {
    const std::string name = inspect::this_user_name();
    return {"logind gives the lock to root and to a user of a local session;",
            "from SSH, cron or a service polkit must consent. To let a group take it,",
            "as root (the user logs in again afterwards):",
            "  groupadd --system korvel && usermod -aG korvel " + (name.empty() ? "USER" : name),
            "  cp " + inspect::polkit_example_rule() + " /etc/polkit-1/rules.d/",
            "Or let root hold the lock while this shell's work stays unprivileged:",
            "  sudo -b korvel --quiet --pid $$"};
}

point lock_point(const lock_test &t, bool logind_answers) {
    if (t.taken) {
        point p{"Lock", {"yes, through " + t.mechanism + " (korvel took a lock and released it at once)"}};
        if (logind_answers && !contains(t.mechanism, "logind"))
            p.lines.push_back(
                "logind refused it: the lid, logind's idle action and `systemctl suspend` are not held off");
        return p;
    }
    point p{"Lock", {"no: " + printable(t.refusal)}};
    if (contains(t.refusal, "access denied")) {
        const std::vector<std::string> advice = permission_advice();
        p.lines.insert(p.lines.end(), advice.begin(), advice.end());
    } else {
        p.lines.push_back("korvel needs systemd-logind on the system bus, or a desktop session's power service");
    }
    return p;
}

bool is_sleep_action(const std::string &action) {
    return action == "suspend" || action == "hibernate" || action == "hybrid-sleep" ||
           action == "suspend-then-hibernate";
}

bool is_harmless(const std::string &action) { return action.empty() || action == "ignore" || action == "lock"; }

std::string lid_settings_text(const login_policy &p) {
    std::string out;
    const std::pair<const char *, std::string> settings[] = {{"HandleLidSwitch", p.lid},
                                                             {"HandleLidSwitchExternalPower", p.lid_external_power},
                                                             {"HandleLidSwitchDocked", p.lid_docked}};
    for (const auto &[key, value] : settings)
        if (!value.empty()) out += (out.empty() ? "" : ", ") + std::string(key) + "=" + value;
    return out;
}

point lid_point(const login_policy &p) {
    const std::string settings = lid_settings_text(p);
    const std::string actions[] = {p.lid, p.lid_external_power, p.lid_docked};
    const bool sleeps = std::any_of(std::begin(actions), std::end(actions), is_sleep_action);
    const auto other = std::find_if(std::begin(actions), std::end(actions),
                                    [](const std::string &a) { return !is_harmless(a) && !is_sleep_action(a); });
    if (other != std::end(actions))
        return {"Lid",
                {"closing the lid can " + *other + " the machine (" + settings + "):",
                 "a lock that blocks sleep does not hold that off"}};
    if (!sleeps) return {"Lid", {"closing the lid does not suspend (" + settings + ")"}};
    const inspect::lid_setting ignore = inspect::lid_switch_ignore_inhibited();
    const std::string setting = "LidSwitchIgnoreInhibited=" + (ignore.ignores_locks ? ignore.written : "yes") + ", " +
                                (ignore.ignores_locks ? "set in " + ignore.file : "logind's default");
    if (!ignore.ignores_locks.value_or(true))
        return {"Lid", {"closing the lid suspends only when no lock is held", "(" + settings + ";", setting + ")"}};
    const std::string folder = ignore.drop_in.substr(0, ignore.drop_in.rfind('/'));
    return {"Lid",
            {"closing the lid suspends the machine even while a lock is held", "(" + settings + ";", setting + ").",
             "To have locks hold against the lid, as root:", "  mkdir -p " + folder,
             "  printf '[Login]\\nLidSwitchIgnoreInhibited=no\\n' > " + ignore.drop_in,
             "then have " + ignore.daemon + " read it again: " + ignore.reread}};
}

point idle_point(const login_policy &p, const lock_test &t, bool display) {
    const std::string action = p.idle_action;
    if (action.empty() || action == "ignore")
        return {"Idle", {"logind takes no action when the machine is idle (IdleAction=ignore)"}};
    const std::string setting = "IdleAction=" + action + " after " +
                                duration_text(static_cast<int64_t>(p.idle_action_usec / 1000000));
    if (display && t.taken)
        return {"Idle", {"the lock holds off logind's " + setting + ": it blocks idle too (--display)"}};
    if (is_sleep_action(action)) return {"Idle", {"the lock holds off logind's " + setting}};
    return {"Idle",
            {"a lock that blocks sleep does not hold off logind's " + setting + ":",
             "korvel --display does, as it blocks idle too"}};
}

// The desktop services in a mechanism text: "logind+gnome-session" -> "gnome-session".
std::string desktop_holders(const std::string &mechanism) {
    std::string out;
    size_t start = 0;
    while (start <= mechanism.size()) {
        const size_t end = std::min(mechanism.find('+', start), mechanism.size());
        const std::string part = mechanism.substr(start, end - start);
        if (!part.empty() && part != "logind") out += (out.empty() ? "" : " and ") + part;
        start = end + 1;
    }
    return out;
}

point desktop_point(const lock_test &t) {
    const std::string holders = desktop_holders(t.mechanism);
    if (t.taken && !holders.empty())
        return {"Desktop",
                {holders + " took korvel's inhibitor as well: the desktop's idle policy", "honours the hold"}};
    const std::string problem = inspect::session_bus_problem();
    if (!problem.empty())
        return {"Desktop",
                {"no desktop session here, so logind alone decides", "(" + problem + ");",
                 "inside a desktop session korvel also asks the desktop's power service"}};
    if (!t.taken) return {"Desktop", {"its services were asked too: see the lock's message"}};
    return {"Desktop",
            {"a session bus answers, but no desktop power service took korvel's inhibitor:",
             "a desktop that suspends on idle by itself may not honour the hold"}};
}

}  // namespace

int check_machine(const invocation &inv) {
    const lock_test t = try_a_lock(inv.req.display);
    const int status = t.taken ? 0 : kExitUnavailable;
    if (inv.quiet) return status;
    const login_policy policy = inspect::read_login_policy();
    std::printf("korvel --check for %s:\n", inspect::this_user().c_str());
    print_point(lock_point(t, policy.problem.empty()));
    if (policy.problem.empty()) {
        print_point(lid_point(policy));
        print_point(idle_point(policy, t, inv.req.display));
        print_point(desktop_point(t));
    } else {
        print_point({"Policy", {"not read: " + printable(policy.problem)}});
    }
    std::printf("%s\n", t.taken ? "korvel can keep this machine awake." : "korvel cannot keep this machine awake.");
    return status;
}

}  // namespace korcli
