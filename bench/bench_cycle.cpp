// Times kor_on + kor_off cycles against the logind on the system bus, side by
// side with the bare cost of the same lock taken directly with sd-bus (a new
// connection, Inhibit, close the fd), interleaved so both see the same load.
//
//   korvel_bench_cycle [CYCLES]   (default 1000)
#include "korvel.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double micros_of(const std::function<bool()> &op, bool &ok) {
    const auto t0 = clock_type::now();
    ok = op() && ok;
    return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

bool korvel_cycle() {
    const bool on = kor_on("{\"name\":\"bench\"}") == 1;
    kor_off();
    return on;
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
    std::vector<double> lib, bare;
    bool ok = true;
    for (int i = 0; i < cycles; ++i) {
        lib.push_back(micros_of(korvel_cycle, ok));
        bare.push_back(micros_of(bare_sd_bus_cycle, ok));
    }
    if (!ok) {
        std::fprintf(stderr, "a cycle failed: %s\n", kor_last_error());
        return 1;
    }
    const summary l = summarise(lib), b = summarise(bare);
    std::printf("cycles: %d (interleaved)\n", cycles);
    std::printf("kor_on+kor_off        median %8.1f us  p90 %8.1f us\n", l.median, l.p90);
    std::printf("bare sd-bus Inhibit   median %8.1f us  p90 %8.1f us\n", b.median, b.p90);
    std::printf("ratio (median)        %.2f\n", l.median / b.median);
    return 0;
}
