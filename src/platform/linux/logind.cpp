// systemd-logind: a "block" lock on the system bus, which every Linux system
// honours for suspend whatever desktop runs (or none).
#include "backends.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kor_linux {

namespace {

// The lock lives in the fd that Inhibit returns, not in the connection, so
// one connection serves every activation of the process. It is used only
// under the core's lock. Never destroyed: no destructor at exit may race a
// host thread that is still calling.
sd_bus *g_bus = nullptr;
fd_identity g_bus_fd;  // its socket, which a host may close behind our back
pid_t g_bus_pid = 0;   // a child forked without our fork handler must not use it

void drop_bus() {
    // A socket the host has closed may carry a file of the host's by now:
    // sd-bus must not close that number, so the connection is left as it is.
    if (g_bus != nullptr) {
        if (g_bus_fd.still_open()) sd_bus_close_unref(g_bus);
        else abandon_connection(g_bus);
    }
    g_bus = nullptr;
    g_bus_fd = fd_identity{};
}

// The kept connection, replaced when it has failed or its socket was taken
// away. A new one is not waited for here: the call is queued behind its
// authentication, which collect() drives within the budget.
sd_bus *kept_bus(std::string &why) {
    if (g_bus != nullptr && (g_bus_pid != getpid() || !g_bus_fd.still_open() || sd_bus_is_open(g_bus) <= 0)) drop_bus();
    if (g_bus != nullptr) return g_bus;
    sd_bus *raw = nullptr;
    const int r = sd_bus_open_system(&raw);
    if (r < 0) {
        why = std::string("system bus unreachable: ") + std::strerror(-r);
        return nullptr;
    }
    g_bus = raw;
    g_bus_fd = fd_identity::of(sd_bus_get_fd(raw));
    g_bus_pid = getpid();
    return g_bus;
}

bool connection_lost(int r) { return r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ESHUTDOWN; }

// Whom logind lets block sleep, so that a refused user knows what to ask for.
std::string access_denied_text(bool keep_display) {
    // logind asks polkit about a lock on sleep and idle together under the
    // lid switch's action, not under the two of sleep and idle.
    const std::string action = keep_display ? "org.freedesktop.login1.inhibit-handle-lid-switch"
                                            : "org.freedesktop.login1.inhibit-block-sleep";
    return "access denied: blocking sleep takes root, or polkit's consent to " + action +
           " (normally given to a user with an active local session)";
}

std::string describe_wait_failure(int r) {
    switch (-r) {
    case ETIMEDOUT: return "no answer";
    // The reply's fd could not be received (sd-bus reads it truncated).
    case EXFULL:
    case EMFILE:
    case ENFILE: return "no descriptor free to receive the lock: " + std::string(std::strerror(EMFILE));
    default: return std::string("system bus unreachable: ") + std::strerror(-r);
    }
}

// The error sd-bus makes up when a call's time runs out.
bool no_answer(const sd_bus_error *error) {
    return sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY) || sd_bus_error_has_name(error, SD_BUS_ERROR_TIMEOUT);
}

// logind's own refusal, in words that say what to do about it.
std::string describe_refusal(const sd_bus_error *error, bool keep_display) {
    if (sd_bus_error_has_name(error, SD_BUS_ERROR_ACCESS_DENIED)) return access_denied_text(keep_display);
    if (no_answer(error)) return "no answer";
    bus_error copy;
    sd_bus_error_copy(&copy.e, error);
    return "Inhibit failed: " + copy.describe(-EIO);
}

}  // namespace

void forget_system_bus_in_child() {
    // sd-bus refuses a connection used across fork; the child's copy of the
    // socket is closed here and the object left alone.
    g_bus_fd.close_if_same();
    g_bus = nullptr;
    g_bus_fd = fd_identity{};
}

logind_inhibit::~logind_inhibit() {
    call_.cancel();
    if (sent_ && !settled_) drop_bus();
}

bool logind_inhibit::send(const inhibit_request &request, const deadline &limit, std::string &why) {
    request_ = request;
    for (int attempt = 0; attempt < 2; ++attempt) {
        sd_bus *bus = kept_bus(why);
        if (bus == nullptr) return false;
        sd_bus_message *raw = nullptr;
        int r = sd_bus_message_new_method_call(bus, &raw, "org.freedesktop.login1", "/org/freedesktop/login1",
                                               "org.freedesktop.login1.Manager", "Inhibit");
        message_ptr call(raw);
        if (r >= 0)
            r = sd_bus_message_append(call.get(), "ssss", request.keep_display ? "sleep:idle" : "sleep",
                                      request.app_id.c_str(), request.reason.c_str(), "block");
        if (r >= 0) r = call_.send(bus, call.get(), limit, UINT64_MAX);
        if (r >= 0) {
            sent_ = true;
            settled_ = false;
            return true;
        }
        drop_bus();  // in doubt, or broken under us: the next attempt opens a new one
        if (!connection_lost(r)) {
            why = std::string("Inhibit failed: ") + std::strerror(-r);
            return false;
        }
    }
    why = "system bus unreachable: connection lost";
    return false;
}

bool logind_inhibit::resend_on_new_connection(const deadline &limit, std::string &why) {
    if (resent_ || limit.passed()) return false;
    resent_ = true;
    call_.cancel();
    drop_bus();
    return send(request_, limit, why);
}

int logind_inhibit::collect(const deadline &limit, std::string &why) {
    if (!sent_) return -1;  // never sent; `why` was set then
    int r;
    while ((r = call_.wait(g_bus, limit)) < 0) {
        if (connection_lost(r) && resend_on_new_connection(limit, why)) continue;
        if (!sent_) return -1;  // the new connection could not be had; `why` says so
        why = describe_wait_failure(r);
        return -1;  // the destructor closes the connection
    }
    const sd_bus_error *error = sd_bus_message_get_error(call_.reply());
    // sd-bus answers for a connection that broke while the call waited.
    if (error != nullptr && sd_bus_is_open(g_bus) <= 0 && resend_on_new_connection(limit, why))
        return collect(limit, why);
    const int fd = error == nullptr ? take_fd(why) : -1;
    if (error != nullptr) why = describe_refusal(error, request_.keep_display);
    // Messages the bus sent us besides the answer (NameAcquired) are
    // dropped now rather than piling up on the kept connection.
    r = drain(g_bus);
    // A reply sd-bus made up when the call's time ran out may be followed by
    // logind's own, with a lock in it.
    settled_ = r >= 0 && !(error != nullptr && no_answer(error));
    return fd;
}

int logind_inhibit::take_fd(std::string &why) {
    int lock_fd = -1;
    const int r = sd_bus_message_read(call_.reply(), "h", &lock_fd);
    if (r < 0) {
        why = std::string("Inhibit reply unreadable: ") + std::strerror(-r);
        return -1;
    }
    // The reply owns its fd and closes it when freed: keep a duplicate, which
    // a child the host starts later does not inherit.
    const int fd = fcntl(lock_fd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) why = std::string("cannot keep the lock fd: ") + std::strerror(errno);
    return fd;
}

}  // namespace kor_linux
