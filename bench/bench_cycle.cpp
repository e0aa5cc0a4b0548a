// Times kor_on + kor_off cycles against the logind on the system bus, side by
// side with the bare cost of the same lock taken directly with sd-bus (a new
// connection, Inhibit, close the fd), interleaved so all see the same load.
// Given a session bus address, a third series runs with that session bus
// (whose desktop inhibitor the library then adds); the other series run with
// no session bus.
//
//   korvel_bench_cycle [CYCLES [SESSION_BUS_ADDRESS]]   (default 1000)
#include "korvel.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double micros_of(const std::function<bool()> &op, bool &ok) {
    const auto t0 = clock_type::now();
    ok = op() && ok;
    return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

const char *g_session_address = nullptr;

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

// The session series only means something when the session's service takes
// the inhibition: says what holds it.
std::string session_mechanism() {
    setenv("DBUS_SESSION_BUS_ADDRESS", g_session_address, 1);
    std::string mechanism = "(refused)";
    if (kor_on("{}") == 1) {
        if (char *status = kor_status()) {
            const char *m = std::strstr(status, "\"mechanism\":\"");
            if (m) mechanism.assign(m + 13, std::strcspn(m + 13, "\""));
            kor_free_string(status);
        }
    }
    kor_off();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    return mechanism;
}

bool bare_sd_bus_cycle() {
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return false;
    sd_bus_message *reply = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit", nullptr, &reply, "ssss", "sleep",
                               "bench", "bench", "block");
    int fd = -1;
    if (r >= 0) r = sd_bus_message_read(reply, "h", &fd);
    if (r >= 0) fd = dup(fd);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    if (fd >= 0) close(fd);
    return r >= 0 && fd >= 0;
}

struct summary {
    double median, p90;
};

summary summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() * 9 / 10]};
}

} // namespace

int main(int argc, char **argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (cycles <= 0) return 2;
    g_session_address = argc > 2 ? argv[2] : nullptr;
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("XDG_RUNTIME_DIR");  // no session bus found by default either
    std::vector<double> lib, bare, session;
    if (g_session_address) {
        const std::string mechanism = session_mechanism();
        std::printf("with the session bus the mechanism is: %s\n", mechanism.c_str());
        if (mechanism.find('+') == std::string::npos) return 1;
    }
    bool ok = true;
    for (int i = 0; i < cycles; ++i) {
        lib.push_back(micros_of(korvel_cycle, ok));
        bare.push_back(micros_of(bare_sd_bus_cycle, ok));
        if (g_session_address) session.push_back(micros_of(korvel_cycle_with_session, ok));
    }
    if (!ok) {
        std::fprintf(stderr, "a cycle failed: %s\n", kor_last_error());
        return 1;
    }
    const summary l = summarise(lib), b = summarise(bare);
    std::printf("cycles: %d each (interleaved)\n", cycles);
    std::printf("kor_on+kor_off, logind              median %8.1f us  p90 %8.1f us\n", l.median, l.p90);
    std::printf("bare sd-bus Inhibit + close         median %8.1f us  p90 %8.1f us\n", b.median, b.p90);
    if (g_session_address) {
        const summary s = summarise(session);
        std::printf("kor_on+kor_off, logind+session svc  median %8.1f us  p90 %8.1f us\n", s.median, s.p90);
        std::printf("ratio session/logind (median)       %.2f\n", s.median / l.median);
    }
    std::printf("ratio korvel/bare (median)          %.2f\n", l.median / b.median);
    return 0;
}
