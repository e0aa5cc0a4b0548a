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
    // Closed without a flush, which would wait for a peer that does not read
    // (up to 90 s for an authentication that never ends): what we send is
    // written when it is sent, and closing the connection itself ends what
    // the services hold for it.
    void operator()(sd_bus *bus) const { sd_bus_close_unref(bus); }
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

// A deadline shared by a sequence of calls, so that a bus whose services do
// not answer costs at most one budget in total. A wait on it also ends when
// its wake-up descriptor (if any) becomes readable: the thread that follows
// the session's services is stopped that way in the middle of a call.
class deadline {
public:
    explicit deadline(uint64_t budget_usec, int wake_fd = -1)
        : end_(monotonic_usec() + budget_usec), wake_fd_(wake_fd) {}
    // This deadline, or `cap` from now if that comes first.
    deadline sooner(uint64_t cap) const;
    uint64_t usec_left() const;
    bool passed() const { return monotonic_usec() >= end_; }
    int wake_fd() const { return wake_fd_; }

private:
    uint64_t end_;
    int wake_fd_;
};

// One method call awaited within a deadline. Its reply is read by this
// object's own loop, which resumes waits that a signal interrupted (a plain
// sd_bus_call gives up on them, and a second call would ask twice). sd-bus's
// own timeout for the call is set past the deadline: at its timeout sd-bus
// makes up an error reply before it reads the socket, and would hide an
// answer that is already there.
class pending_call {
public:
    pending_call() = default;
    pending_call(const pending_call &) = delete;
    pending_call &operator=(const pending_call &) = delete;
    ~pending_call() { cancel(); }

    // Queues `call`, to be awaited within `limit`.
    int send(sd_bus *bus, sd_bus_message *call, const deadline &limit);
    // Processes the bus until the reply is in (0), the deadline passes
    // (-ETIMEDOUT), the deadline's wake-up descriptor is readable
    // (-ECANCELED) or the connection fails (its error). Whatever the bus has
    // received is read before the deadline counts.
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

// Waits until the bus has something to do or `wake_fd` is readable, for at
// most `timeout_usec` (UINT64_MAX: no limit): 1 when the wake-up came, 0
// otherwise, or the bus's error.
int wait_on_bus(sd_bus *bus, int wake_fd, uint64_t timeout_usec);

// Dispatches whatever the bus has already received, without waiting: 0, or
// the connection's error.
int drain(sd_bus *bus);

// Opens the session bus of this process's user and waits, within the
// deadline, until it has said Hello. Returns null with `why` set when there
// is no session bus or it does not answer in time.
bus_ptr open_session_bus(const deadline &limit, std::string &why);

// Where a method call goes.
struct method {
    const char *destination, *path, *interface, *member;
};

// A method call's message with its arguments, as for sd_bus_message_append;
// the bus's error on failure.
int new_method_call(sd_bus *bus, const method &m, message_ptr &call, const char *types, ...);

// One method call, awaited until the deadline or `per_call_cap`, whichever
// comes first; arguments as for sd_bus_message_append. Without `auto_start`
// a service that is not running fails at once instead of being started by
// the bus on our behalf (a desktop's power manager that happens to be
// installed must not be launched into another desktop's session).
int call_method(sd_bus *bus, const deadline &limit, uint64_t per_call_cap, bool auto_start, const method &m,
                bus_error &error, message_ptr &reply, const char *types, ...);

// Sends a call whose answer nobody waits for (the service is told not to
// send one); arguments as for sd_bus_message_append. Returns at once: what
// the socket does not take now is dropped when the connection closes.
int send_method(sd_bus *bus, const method &m, const char *types, ...);

}  // namespace kor_linux

#endif  // KOR_LINUX_BUS_H
