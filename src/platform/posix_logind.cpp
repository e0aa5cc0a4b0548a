// systemd-logind: a "block" lock on the system bus, which every Linux system
// honours for suspend whatever desktop runs (or none).
#include "posix_backends.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kor_posix {

namespace {

// kor_on runs under the core's lock, so a bus that does not answer must not
// hold every caller for sd-bus's default of 25 s.
constexpr uint64_t kLogindCallTimeoutUsec = 3u * 1000u * 1000u;

} // namespace

// The lock lives as long as its fd, not as long as the bus connection, so
// the connection is closed at once.
bool logind_acquire(sd_bus *, const deadline &, const inhibit_request &request, held_token &token,
                    std::string &why) {
    sd_bus *raw_bus = nullptr;
    int r = sd_bus_open_system(&raw_bus);
    bus_ptr bus(raw_bus);
    if (r >= 0) r = wait_until_ready(bus.get(), deadline(kLogindCallTimeoutUsec));
    if (r < 0) {
        why = std::string("system bus unreachable: ") + std::strerror(-r);
        return false;
    }
    sd_bus_set_method_call_timeout(bus.get(), kLogindCallTimeoutUsec);

    bus_error error;
    sd_bus_message *raw_reply = nullptr;
    r = sd_bus_call_method(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error.e, &raw_reply, "ssss",
                           request.keep_display ? "sleep:idle" : "sleep", request.app_id.c_str(),
                           request.reason.c_str(), "block");
    message_ptr reply(raw_reply);
    if (r < 0) {
        why = "Inhibit failed: " + error.describe(r);
        return false;
    }

    int lock_fd = -1;
    r = sd_bus_message_read(reply.get(), "h", &lock_fd);
    if (r < 0) {
        why = std::string("Inhibit reply unreadable: ") + std::strerror(-r);
        return false;
    }
    // The reply owns its fd and closes it when freed: keep a duplicate, which
    // a child the host starts later does not inherit.
    const int fd = fcntl(lock_fd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
        why = std::string("cannot keep the lock fd: ") + std::strerror(errno);
        return false;
    }
    token.fd = fd;
    return true;
}

void logind_release(sd_bus *, held_token &token) {
    if (token.fd >= 0) close(token.fd);
    token.fd = -1;
}

} // namespace kor_posix
