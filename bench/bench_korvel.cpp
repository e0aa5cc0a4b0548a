// Measures, in one run against the logind on the system bus, what a host
// feels of the library, each figure beside its floor (the same thing done
// directly with the kernel or sd-bus):
//   - how soon the end of a watched process ends a while_pid activation
//     (floor: a pidfd poll on the same kind of child);
//   - how far past its deadline a timed activation ends, started at random
//     phases (floor: a timerfd on CLOCK_BOOTTIME armed for the same time);
//   - how often the library's threads wake while a timed and a while_pid
//     activation hold (floor: 0);
//   - the cost of a kor_on + kor_off cycle (floor: Inhibit and closing its fd
//     on one kept system-bus connection), with keep_display (floor: the two
//     Inhibit calls of its locks) and, given a session bus address, the same
//     cycle with the desktop's inhibitor too;
//   - how long a union of holds changing leaves the machine without a lock;
//   - a while_process lookup among 3000 processes (floor: pgrep -x);
//   - the cost of kor_status while logind alone holds, and with the desktop's
//     inhibitor too;
//   - given a session bus, what a side that hangs costs: kor_on with the
//     session bus's daemon stopped, kor_off with the desktop's service
//     stopped (floor: kor_on, kor_off with both running).
// Series are interleaved where they can be, so that all see the same load.
//
//   korvel_bench [CYCLES [SESSION_BUS_ADDRESS]]   (default 1000)
#include "korvel.h"

#include <systemd/sd-bus.h>

#include <dirent.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

void sleep_ms(double ms) { std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms)); }

struct summary {
    double median = 0, max = 0;
};

summary summarise(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.back()};
}

bool active() {
    char *text = kor_status();
    const bool on = text && std::strstr(text, "\"active\":1");
    kor_free_string(text);
    return on;
}

// Polls the status until the activation has ended; ms from `t0`.
double ms_until_inactive(clock_type::time_point t0) {
    while (active()) sleep_ms(0.2);
    return ms_since(t0);
}

pid_t start_idle_child() {
    const pid_t pid = fork();
    if (pid == 0) {
        for (;;) pause();
    }
    return pid;
}

void kill_and_reap(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::mt19937 g_random(12345);

double random_ms(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(g_random); }

// --- The end of a watched process -------------------------------------------

double library_notices_exit() {
    const pid_t child = start_idle_child();
    const std::string options = "{\"mode\":\"while_pid\",\"pid\":" + std::to_string(child) + "}";
    if (kor_on(options.c_str()) != 1) {
        kill_and_reap(child);
        return -1;
    }
    sleep_ms(random_ms(20, 600));
    const auto t0 = clock_type::now();
    kill(child, SIGKILL);  // left a zombie until the end is seen: it has ended all the same
    const double took = ms_until_inactive(t0);
    waitpid(child, nullptr, 0);
    return took;
}

double pidfd_notices_exit() {
    const pid_t child = start_idle_child();
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    sleep_ms(random_ms(20, 100));
    const auto t0 = clock_type::now();
    kill(child, SIGKILL);
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 5000);
    const double took = ms_since(t0);
    close(fd);
    waitpid(child, nullptr, 0);
    return took;
}

// --- Deadlines ---------------------------------------------------------------

double library_overshoot() {
    sleep_ms(random_ms(0, 1000));
    const auto t0 = clock_type::now();
    if (kor_on("{\"mode\":\"minutes\",\"seconds\":1}") != 1) return -1;
    return ms_until_inactive(t0) - 1000.0;
}

double timerfd_overshoot() {
    const int fd = timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC);
    itimerspec spec{};
    spec.it_value.tv_nsec = 200 * 1000 * 1000;
    const auto t0 = clock_type::now();
    timerfd_settime(fd, 0, &spec, nullptr);
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 5000);
    const double took = ms_since(t0);
    close(fd);
    return took - 200.0;
}

// --- Wakeups -----------------------------------------------------------------

// Context switches of every thread of this process but the calling one.
long other_threads_switches() {
    long total = 0;
    const std::string self = std::to_string(syscall(SYS_gettid));
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.' || self == e->d_name) continue;
        std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::atol(line.substr(line.find(':') + 1).c_str());
        }
    }
    closedir(dir);
    return total;
}

double wakeups_per_second(const std::string &options, double seconds) {
    if (kor_on(options.c_str()) != 1) return -1;
    sleep_ms(200);  // past the watcher's start
    const long before = other_threads_switches();
    sleep_ms(seconds * 1000);
    const long after = other_threads_switches();
    kor_off();
    return static_cast<double>(after - before) / seconds;
}

// --- Cycles ------------------------------------------------------------------

const char *g_session_address = nullptr;
sd_bus *g_kept_bus = nullptr;

bool korvel_cycle() {
    const bool on = kor_on("{\"name\":\"bench\"}") == 1;
    kor_off();
    return on;
}

bool korvel_cycle_with_session() {
    setenv("DBUS_SESSION_BUS_ADDRESS", g_session_address, 1);
    const bool on = korvel_cycle();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    return on;
}

bool korvel_display_cycle() {
    const bool on = kor_on("{\"name\":\"bench\",\"keep_display\":true}") == 1;
    kor_off();
    return on;
}

// One Inhibit on the kept connection; the lock's fd (a copy), or -1.
int bare_inhibit(const char *what) {
    if (g_kept_bus == nullptr && sd_bus_open_system(&g_kept_bus) < 0) return -1;
    sd_bus_message *reply = nullptr;
    int r = sd_bus_call_method(g_kept_bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit", nullptr, &reply, "ssss", what, "bench",
                               "bench", "block");
    int fd = -1;
    if (r >= 0) r = sd_bus_message_read(reply, "h", &fd);
    if (r >= 0) fd = dup(fd);
    sd_bus_message_unref(reply);
    return r >= 0 ? fd : -1;
}

bool bare_inhibit_cycle() {
    const int fd = bare_inhibit("sleep");
    if (fd >= 0) close(fd);
    return fd >= 0;
}

// What keep_display's two locks cost done by hand: one after the other.
bool bare_two_inhibits_cycle() {
    const int sleep_fd = bare_inhibit("sleep"), idle_fd = bare_inhibit("idle");
    if (sleep_fd >= 0) close(sleep_fd);
    if (idle_fd >= 0) close(idle_fd);
    return sleep_fd >= 0 && idle_fd >= 0;
}

double micros_of(bool (*op)(), bool &ok) {
    const auto t0 = clock_type::now();
    ok = op() && ok;
    return ms_since(t0) * 1000.0;
}

// The session series only means something when the session's service takes
// the inhibition: says what holds it.
std::string session_mechanism() {
    setenv("DBUS_SESSION_BUS_ADDRESS", g_session_address, 1);
    std::string mechanism = "(refused)";
    if (kor_on("{}") == 1) {
        if (char *status = kor_status()) {
            if (const char *m = std::strstr(status, "\"mechanism\":\""))
                mechanism.assign(m + 13, std::strcspn(m + 13, "\""));
            kor_free_string(status);
        }
    }
    kor_off();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    return mechanism;
}

// --- kor_status --------------------------------------------------------------

// Microseconds of one kor_status + kor_free_string, averaged over a batch.
double status_micros() {
    constexpr int kBatch = 1000;
    const auto t0 = clock_type::now();
    for (int i = 0; i < kBatch; ++i) kor_free_string(kor_status());
    return ms_since(t0) * 1000.0 / kBatch;
}

// Batches of kor_status while `options` hold, the session bus reachable or not.
std::vector<double> status_series(const char *options, bool with_session, int batches) {
    if (with_session) setenv("DBUS_SESSION_BUS_ADDRESS", g_session_address, 1);
    const bool on = kor_on(options) == 1;
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    std::vector<double> v;
    for (int i = 0; on && i < batches; ++i) v.push_back(status_micros());
    kor_off();
    return v;
}

// --- A union of holds changing ---------------------------------------------------

// us of a kor_on that replaces the activation in force, as a package does
// when its holds' union changes: the old lock is released before the new one
// is taken, so the machine is without a lock for at most this long.
double union_change_micros(int i) {
    const auto t0 = clock_type::now();
    const bool on = kor_on(i % 2 ? "{\"name\":\"union\"}" : "{\"name\":\"union\",\"keep_display\":true}") == 1;
    return on ? std::chrono::duration<double, std::micro>(clock_type::now() - t0).count() : -1;
}

// --- Finding a process by name ----------------------------------------------------

// ms of a while_process lookup of a name no process has (kor_on refuses it
// once the whole list is walked), beside pgrep -x of the same name, which is
// short enough for pgrep to look for it.
double lookup_ms() {
    const auto t0 = clock_type::now();
    const int on = kor_on("{\"mode\":\"while_process\",\"name\":\"korvel-nothing\"}");
    return on == 0 ? ms_since(t0) : -1;
}

double pgrep_ms() {
    const auto t0 = clock_type::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("pgrep", "pgrep", "-x", "korvel-nothing", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 1 ? ms_since(t0) : -1;
}

// --- A side that hangs --------------------------------------------------------

// The process that owns `name` on the session bus, or 0.
pid_t session_owner(const char *name) {
    sd_bus *bus = nullptr;
    sd_bus_message *reply = nullptr;
    uint32_t pid = 0;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, g_session_address) >= 0 &&
        sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetConnectionUnixProcessID", nullptr, &reply, "s", name) >= 0)
        sd_bus_message_read(reply, "u", &pid);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return static_cast<pid_t>(pid);
}

// ms of kor_on with the session bus's daemon stopped (`stopped`), or of
// kor_off with the desktop's service stopped, beside the same with neither.
// A kor_on refused while the session side hangs is counted, not fatal: it is
// what the figure is about.
int g_refused_while_stalled = 0;

double ms_of_on(pid_t stopped) {
    setenv("DBUS_SESSION_BUS_ADDRESS", g_session_address, 1);
    if (stopped > 0) kill(stopped, SIGSTOP);
    const auto t0 = clock_type::now();
    const bool on = kor_on("{\"name\":\"bench\"}") == 1;
    const double took = ms_since(t0);
    if (stopped > 0) kill(stopped, SIGCONT);
    kor_off();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!on && stopped > 0) ++g_refused_while_stalled;
    return on || stopped > 0 ? took : -1;
}

double ms_of_off(pid_t stopped) {
    setenv("DBUS_SESSION_BUS_ADDRESS", g_session_address, 1);
    const bool on = kor_on("{\"name\":\"bench\"}") == 1;
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (stopped > 0) kill(stopped, SIGSTOP);
    const auto t0 = clock_type::now();
    kor_off();
    const double took = ms_since(t0);
    if (stopped > 0) kill(stopped, SIGCONT);
    sleep_ms(50);  // the service catches up before the next round
    return on ? took : -1;
}

void row(const char *what, summary figure, summary floor, const char *unit) {
    std::printf("%-44s %9.2f %9.2f   %9.2f %9.2f  %s\n", what, figure.median, figure.max, floor.median, floor.max,
                unit);
}

template <typename F>
std::vector<double> series(int n, F f) {
    std::vector<double> v;
    for (int i = 0; i < n; ++i) v.push_back(f());
    return v;
}

}  // namespace

int main(int argc, char **argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (cycles <= 0) return 2;
    g_session_address = argc > 2 ? argv[2] : nullptr;
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("XDG_RUNTIME_DIR");  // no session bus found by default either
    if (g_session_address) {
        const std::string mechanism = session_mechanism();
        std::printf("with the session bus the mechanism is: %s\n", mechanism.c_str());
        if (mechanism.find('+') == std::string::npos) return 1;
    }

    std::vector<double> exit_lib, exit_floor, over_lib, over_floor;
    for (int i = 0; i < 15; ++i) {
        exit_lib.push_back(library_notices_exit());
        exit_floor.push_back(pidfd_notices_exit());
        over_lib.push_back(library_overshoot());
        over_floor.push_back(timerfd_overshoot());
    }
    const double wake_timed = wakeups_per_second("{\"mode\":\"minutes\",\"seconds\":60}", 4);
    const pid_t child = start_idle_child();
    const double wake_pid = wakeups_per_second("{\"mode\":\"while_pid\",\"pid\":" + std::to_string(child) + "}", 4);
    kill_and_reap(child);

    std::vector<double> lib, bare, session, display, bare_two;
    bool ok = true;
    // In a shuffled order each round: the session series leaves work behind
    // in logind (GNOME's session manager mirrors our inhibitor into a lock of
    // its own), which must not fall on one series only.
    std::vector<int> order = {0, 1, 2, 3, 4};
    for (int i = 0; i < cycles; ++i) {
        std::shuffle(order.begin(), order.end(), g_random);
        for (const int series : order) {
            if (series == 0) lib.push_back(micros_of(korvel_cycle, ok));
            if (series == 1) bare.push_back(micros_of(bare_inhibit_cycle, ok));
            if (series == 2 && g_session_address) session.push_back(micros_of(korvel_cycle_with_session, ok));
            if (series == 3) display.push_back(micros_of(korvel_display_cycle, ok));
            if (series == 4) bare_two.push_back(micros_of(bare_two_inhibits_cycle, ok));
        }
    }

    std::vector<double> status_alone, status_desktop;
    for (int i = 0; i < 5; ++i) {
        for (const double us : status_series("{}", false, 40)) status_alone.push_back(us);
        if (g_session_address)
            for (const double us : status_series("{}", true, 40)) status_desktop.push_back(us);
    }

    std::vector<double> union_change;
    for (int i = 0; i < cycles; ++i) union_change.push_back(union_change_micros(i));
    kor_off();

    // The lookup among 3000 processes, each round the library's and pgrep's.
    std::vector<pid_t> crowd;
    for (int i = 0; i < 3000; ++i) crowd.push_back(start_idle_child());
    std::vector<double> lookup, pgrep;
    for (int i = 0; i < 11; ++i) {
        lookup.push_back(lookup_ms());
        pgrep.push_back(pgrep_ms());
    }
    for (const pid_t pid : crowd) kill_and_reap(pid);

    std::vector<double> on_stalled, on_floor, off_stalled, off_floor;
    const pid_t session_daemon = g_session_address ? session_owner("org.freedesktop.DBus") : 0;
    const pid_t desktop = g_session_address ? session_owner("org.gnome.SessionManager") : 0;
    if (g_session_address && (session_daemon <= 0 || desktop <= 0)) {
        std::fprintf(stderr, "the session bus's daemon or GNOME's session manager has no pid\n");
        return 1;
    }
    for (int i = 0; g_session_address && i < 5; ++i) {
        on_stalled.push_back(ms_of_on(session_daemon));
        on_floor.push_back(ms_of_on(0));
        off_stalled.push_back(ms_of_off(desktop));
        off_floor.push_back(ms_of_off(0));
    }
    const bool refused = std::find(exit_lib.begin(), exit_lib.end(), -1.0) != exit_lib.end() ||
                         std::find(over_lib.begin(), over_lib.end(), -1.0) != over_lib.end() || wake_timed < 0 ||
                         wake_pid < 0 || status_alone.empty() || (g_session_address && status_desktop.empty()) ||
                         std::find(on_floor.begin(), on_floor.end(), -1.0) != on_floor.end() ||
                         std::find(off_stalled.begin(), off_stalled.end(), -1.0) != off_stalled.end() ||
                         std::find(union_change.begin(), union_change.end(), -1.0) != union_change.end() ||
                         std::find(lookup.begin(), lookup.end(), -1.0) != lookup.end() ||
                         std::find(pgrep.begin(), pgrep.end(), -1.0) != pgrep.end();
    if (!ok || refused) {
        std::fprintf(stderr, "an activation was refused: %s\n", kor_last_error());
        return 1;
    }

    std::printf("%-44s %9s %9s   %9s %9s\n", "figure (15 rounds; cycles interleaved)", "median", "max", "floor med",
                "floor max");
    row("process exit noticed (while_pid)", summarise(exit_lib), summarise(exit_floor), "ms");
    row("deadline overshoot (1 s, random phase)", summarise(over_lib), summarise(over_floor), "ms");
    row("library wakeups/s, timed activation", {wake_timed, wake_timed}, {0, 0}, "/s");
    row("library wakeups/s, while_pid activation", {wake_pid, wake_pid}, {0, 0}, "/s");
    const summary l = summarise(lib), b = summarise(bare);
    row("kor_on+kor_off cycle", l, b, "us (floor: Inhibit on a kept connection)");
    const summary d = summarise(display), b2 = summarise(bare_two);
    row("kor_on+kor_off cycle, keep_display", d, b2, "us (floor: two Inhibits, kept connection)");
    row("kor_status, logind alone", summarise(status_alone), {0, 0}, "us");
    row("union change: kor_on replacing an activation", summarise(union_change), b, "us (no lock for at most this)");
    const summary found = summarise(lookup), grep = summarise(pgrep);
    row("while_process lookup, 3000 processes", found, grep, "ms (floor: pgrep -x)");
    if (g_session_address) {
        const summary s = summarise(session);
        row("kor_on+kor_off cycle, logind+session svc", s, b, "us");
        row("kor_status, logind+session svc", summarise(status_desktop), {0, 0}, "us");
        const std::string refusals = "ms (floor: running); refused " + std::to_string(g_refused_while_stalled) +
                                     " of " + std::to_string(on_stalled.size());
        row("kor_on, session bus's daemon stopped", summarise(on_stalled), summarise(on_floor), refusals.c_str());
        row("kor_off, session service stopped", summarise(off_stalled), summarise(off_floor), "ms (floor: running)");
        std::printf("ratio session cycle / logind cycle (median)   %.2f\n", s.median / l.median);
    }
    std::printf("ratio cycle / kept-connection Inhibit (median) %.2f\n", l.median / b.median);
    std::printf("ratio keep_display cycle / two Inhibits (median) %.2f\n", d.median / b2.median);
    std::printf("ratio lookup / pgrep -x (median)              %.2f\n", found.median / grep.median);
    return 0;
}
