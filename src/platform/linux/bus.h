// sd-bus helpers shared by the Linux layer's inhibition backends: ownership of
// buses and messages, error texts, and calls bounded by a deadline.
#ifndef KOR_LINUX_BUS_H
#define KOR_LINUX_BUS_H

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

namespace kor_linux {

struct bus_deleter {
    // sd-bus's flush first completes a pending authentication, waiting up to
    // 90 s on a bus that never answers; a bus that is not ready has nothing
    // of ours to flush.
    void operator()(sd_bus *bus) const {
        if (sd_bus_is_ready(bus) > 0) sd_bus_flush_close_unref(bus);
        else sd_bus_close_unref(bus);
    }
};
struct message_deleter {
    void operator()(sd_bus_message *m) const { sd_bus_message_unref(m); }
};
using bus_ptr = std::unique_ptr<sd_bus, bus_deleter>;
using message_ptr = std::unique_ptr<sd_bus_message, message_deleter>;

struct bus_error {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    bus_error() = default;
    bus_error(const bus_error &) = delete;
    bus_error &operator=(const bus_error &) = delete;
    ~bus_error() { sd_bus_error_free(&e); }

    // The D-Bus error's text, or the errno text when the call failed locally.
    std::string describe(int r) const;

    // A few words for the failure message that lists every mechanism: the
    // common D-Bus errors get a short name, anything else its own text.
    std::string brief(int r) const;

    // True when the peer is there but does not serve this object or method,
    // so another object path of the same service may still answer.
    bool wrong_object() const;
};

// A wait or read that a signal interrupted, or that would block: nothing was
// lost, so it is simply done again. Any other error leaves the connection in
// doubt (it may hold half a message, or replies and their fds queued behind
// it), and a connection in doubt is closed, never used again.
inline bool transient(int r) { return r == -EINTR || r == -EAGAIN; }

// Keeps a connection whose socket the host has closed (and may have reused)
// for the rest of the process, unused: freeing it would make sd-bus close a
// number that may be the host's by now.
void abandon_connection(sd_bus *bus) noexcept;

// Microseconds of CLOCK_MONOTONIC.
uint64_t monotonic_usec();

// A deadline shared by a sequence of calls, so that a session bus whose
// services do not answer costs at most one budget in total.
class deadline {
public:
    explicit deadline(uint64_t budget_usec) : end_(monotonic_usec() + budget_usec) {}
    // Time left, capped per call; at least 1 us, since 0 means "default" to sd-bus.
    uint64_t call_timeout(uint64_t per_call_cap) const;
    bool passed() const { return monotonic_usec() >= end_; }

private:
    uint64_t end_;
};

// One method call awaited within a deadline. Its reply is read by this
// object's own loop, which resumes waits that a signal interrupted (a plain
// sd_bus_call gives up on them, and a second call would ask twice).
class pending_call {
public:
    pending_call() = default;
    pending_call(const pending_call &) = delete;
    pending_call &operator=(const pending_call &) = delete;
    ~pending_call() { cancel(); }

    // Queues `call`; its own timeout is what is left of the deadline, capped.
    int send(sd_bus *bus, sd_bus_message *call, const deadline &limit, uint64_t per_call_cap);
    // Processes the bus until the reply is in (0), the deadline passes
    // (-ETIMEDOUT) or the connection fails (its error).
    int wait(sd_bus *bus, const deadline &limit);
    sd_bus_message *reply() const { return reply_.get(); }
    // Forgets the call and its reply (a reply that comes later is dropped).
    void cancel();

private:
    static int on_reply(sd_bus_message *reply, void *self, sd_bus_error *);
    sd_bus_slot *slot_ = nullptr;
    message_ptr reply_;
};

// Runs the connection's authentication and Hello until the bus is ready, at
// most until the deadline: 0, -ETIMEDOUT, or another negative errno.
int wait_until_ready(sd_bus *bus, const deadline &limit);

// Dispatches whatever the bus has already received, without waiting: 0, or
// the connection's error.
int drain(sd_bus *bus);

// Opens the session bus of this process's user and waits, within the
// deadline, until it has said Hello. Returns null with `why` set when there
// is no session bus or it does not answer in time.
bus_ptr open_session_bus(const deadline &limit, std::string &why);

// One method call; arguments as for sd_bus_message_append. Without
// `auto_start` a service that is not running fails at once instead of being
// started by the bus on our behalf (a desktop's power manager that happens to
// be installed must not be launched into another desktop's session).
int call_method(sd_bus *bus, const deadline &limit, uint64_t per_call_cap, bool auto_start, const char *destination,
                const char *path, const char *interface, const char *member, bus_error &error, message_ptr &reply,
                const char *types, ...);

}  // namespace kor_linux

#endif  // KOR_LINUX_BUS_H
