// systemd-logind: "block" locks on the system bus, which every Linux system
// honours for suspend whatever desktop runs (or none).
//
// One lock per thing blocked ("sleep", and "idle" while the display stays
// on), never one lock that names both: logind asks polkit about a lock that
// names one thing under that thing's own action, but about any lock that
// names two or more under the lid switch's action, whose holders may also
// block shutdown and the power keys.
#include "logind.h"

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
// away. A new one is not waited for here: the calls are queued behind its
// authentication, which waiting for their answers drives within the budget.
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

const char *const kWhat[] = {"sleep", "idle"};

size_t locks_needed(const inhibit_request &request) { return request.keep_display ? 2 : 1; }

// Whom logind lets block sleep, so that a refused user knows what to ask for.
std::string access_denied_text(bool keep_display) {
    const std::string actions =
        keep_display ? "org.freedesktop.login1.inhibit-block-sleep and org.freedesktop.login1.inhibit-block-idle"
                     : "org.freedesktop.login1.inhibit-block-sleep";
    return "access denied: blocking sleep takes root, or polkit's consent to " + actions +
           " (normally given to a user with a local session)";
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

int send_inhibit(sd_bus *bus, const char *what, const inhibit_request &request, const deadline &limit,
                 pending_call &call) {
    const method inhibit{"org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                         "Inhibit"};
    message_ptr message;
    const int r = new_method_call(bus, inhibit, message, "ssss", what, request.app_id.c_str(), request.reason.c_str(),
                                  "block");
    return r < 0 ? r : call.send(bus, message.get(), limit);
}

// The lock's fd from logind's answer: a close-on-exec copy the caller owns,
// or -1 with `why` set.
int take_fd(sd_bus_message *reply, std::string &why) {
    int lock_fd = -1;
    const int r = sd_bus_message_read(reply, "h", &lock_fd);
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

enum class round_end { held, failed, connection_lost };

// The calls of one attempt on one connection, all sent before any answer is
// awaited. Whatever ends the attempt, a call sent but not answered and read
// leaves its lock on the connection: unless every one was, the connection
// is closed, and the locks with it.
class lock_calls {
public:
    lock_calls() = default;
    lock_calls(const lock_calls &) = delete;
    lock_calls &operator=(const lock_calls &) = delete;
    ~lock_calls() {
        for (pending_call &c : calls_) c.cancel();
        if (!settled_) drop_bus();
    }

    round_end run(sd_bus *bus, const inhibit_request &request, const deadline &limit, logind_locks &locks,
                  std::string &why) {
        const size_t n = locks_needed(request);
        settled_ = false;
        for (size_t i = 0; i < n; ++i) {
            const int r = send_inhibit(bus, kWhat[i], request, limit, calls_[i]);
            if (r < 0) {
                why = connection_lost(r) ? "system bus unreachable: connection lost"
                                         : std::string("Inhibit failed: ") + std::strerror(-r);
                return connection_lost(r) ? round_end::connection_lost : round_end::failed;
            }
        }
        for (size_t i = 0; i < n; ++i) {
            const int r = calls_[i].wait(bus, limit);
            if (r < 0) {
                why = describe_wait_failure(r);
                return connection_lost(r) ? round_end::connection_lost : round_end::failed;
            }
        }
        // sd-bus answers for a connection that broke while the calls waited.
        if (sd_bus_is_open(bus) <= 0) {
            why = "system bus unreachable: connection lost";
            return round_end::connection_lost;
        }
        logind_locks taken;
        bool made_up = false;
        for (size_t i = 0; i < n && why.empty(); ++i) {
            const sd_bus_error *error = sd_bus_message_get_error(calls_[i].reply());
            if (error != nullptr) {
                why = describe_refusal(error, request.keep_display);
                made_up = no_answer(error);  // logind's own answer, with its lock, may follow
            } else {
                taken.fds[i] = owned_fd(take_fd(calls_[i].reply(), why));
            }
        }
        // Messages the bus sent us besides the answers (NameAcquired) are
        // dropped now rather than piling up on the kept connection.
        settled_ = drain(bus) >= 0 && !made_up;
        if (!why.empty()) return round_end::failed;  // `taken` lets go of any lock it got
        locks = std::move(taken);
        return round_end::held;
    }

private:
    pending_call calls_[2];
    bool settled_ = true;
};

}  // namespace

bool logind_locks::still_ours() const {
    for (const owned_fd &fd : fds)
        if (fd.valid() && !fd.still_ours()) return false;
    return true;
}

void logind_locks::reset() {
    for (owned_fd &fd : fds) fd.reset();
}

bool logind_acquire(const inhibit_request &request, const deadline &limit, logind_locks &locks, std::string &why) {
    locks.reset();
    for (int attempt = 0;; ++attempt) {
        why.clear();
        sd_bus *bus = kept_bus(why);
        if (bus == nullptr) return false;
        const round_end end = lock_calls().run(bus, request, limit, locks, why);
        if (end == round_end::held) return true;
        // A connection that broke is replaced once, while time is left.
        if (end == round_end::failed || attempt > 0 || limit.passed()) return false;
    }
}

void forget_system_bus_in_child() {
    // sd-bus refuses a connection used across fork; the child's copy of the
    // socket is closed here and the object left alone.
    g_bus_fd.close_if_same();
    g_bus = nullptr;
    g_bus_fd = fd_identity{};
}

}  // namespace kor_linux
