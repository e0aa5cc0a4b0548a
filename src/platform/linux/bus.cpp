#include "bus.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <vector>

namespace kor_linux {

std::string bus_error::describe(int r) const {
    if (e.name == nullptr) return std::strerror(-r);
    std::string text = e.message ? e.message : "";
    return text + (text.empty() ? "" : " ") + "(" + e.name + ")";
}

std::string bus_error::brief(int r) const {
    if (e.name == nullptr) return r == -ETIMEDOUT ? "no answer" : std::strerror(-r);
    if (sd_bus_error_has_name(&e, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
        sd_bus_error_has_name(&e, SD_BUS_ERROR_NAME_HAS_NO_OWNER))
        return "not running";
    if (wrong_object()) return "not served";
    if (sd_bus_error_has_name(&e, SD_BUS_ERROR_NO_REPLY) || sd_bus_error_has_name(&e, SD_BUS_ERROR_TIMEOUT))
        return "no answer";
    if (sd_bus_error_has_name(&e, SD_BUS_ERROR_ACCESS_DENIED)) return "access denied";
    // Services write whole sentences into their errors; one line, kept short,
    // so that the list of every mechanism still fits the error text.
    std::string text = e.message && e.message[0] ? e.message : e.name;
    for (char &c : text)
        if (c == '\n' || c == '\r' || c == ';') c = ' ';
    if (text.size() > 80) text.resize(80);
    return text;
}

bool bus_error::wrong_object() const {
    return sd_bus_error_has_name(&e, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
           sd_bus_error_has_name(&e, SD_BUS_ERROR_UNKNOWN_METHOD) ||
           sd_bus_error_has_name(&e, SD_BUS_ERROR_UNKNOWN_INTERFACE);
}

void abandon_connection(sd_bus *bus) noexcept {
    // Held here, rather than forgotten, so that leak checkers see them kept.
    static std::vector<sd_bus *> *abandoned = nullptr;
    try {
        if (abandoned == nullptr) abandoned = new std::vector<sd_bus *>;
        abandoned->push_back(bus);
    } catch (...) {
        // Out of memory: forgotten instead, which is as safe.
    }
}

uint64_t monotonic_usec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

deadline deadline::sooner(uint64_t cap) const {
    deadline d = *this;
    const uint64_t now = monotonic_usec();
    if (cap < end_ - std::min(end_, now)) d.end_ = now + cap;
    return d;
}

uint64_t deadline::usec_left() const {
    const uint64_t now = monotonic_usec();
    return now < end_ ? end_ - now : 0;
}

namespace {

// How far past our own deadline sd-bus's timeout for a call lies: our loop
// gives up first, after reading what has come.
constexpr uint64_t kPastTheDeadlineUsec = 1000u * 1000u;

// Microseconds until sd-bus has something to do by itself (a call's timeout;
// 0 when messages wait to be dispatched), or UINT64_MAX.
uint64_t usec_until_bus_timer(sd_bus *bus) {
    uint64_t when = UINT64_MAX;
    if (sd_bus_get_timeout(bus, &when) < 0 || when == UINT64_MAX) return UINT64_MAX;
    const uint64_t now = monotonic_usec();
    return when > now ? when - now : 0;
}

// Processes the bus, and waits on it, until `done()` is true (0), the deadline
// passes (-ETIMEDOUT), its wake-up descriptor is readable (-ECANCELED) or the
// connection fails (its error).
template <typename Done>
int process_until(sd_bus *bus, const deadline &limit, Done done) {
    while (!done()) {
        int r = sd_bus_process(bus, nullptr);
        if (r > 0 || transient(r)) continue;
        if (r < 0) return r;
        if (limit.passed()) return -ETIMEDOUT;
        r = wait_on_bus(bus, limit.wake_fd(), limit.usec_left());
        if (r > 0) return -ECANCELED;
        if (r < 0 && !transient(r)) return r;
    }
    return 0;
}

}  // namespace

int wait_on_bus(sd_bus *bus, int wake_fd, uint64_t timeout_usec) {
    const int events = sd_bus_get_events(bus);
    if (events < 0) return events;
    const uint64_t usec = std::min(timeout_usec, usec_until_bus_timer(bus));
    const timespec ts{static_cast<time_t>(usec / 1000000u), static_cast<long>(usec % 1000000u) * 1000};
    pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(events), 0}, {wake_fd, POLLIN, 0}};
    if (ppoll(fds, 2, usec == UINT64_MAX ? nullptr : &ts, nullptr) < 0) return -errno;
    return fds[1].revents != 0 ? 1 : 0;  // poll skips a negative fd, leaving it 0
}

int wait_until_ready(sd_bus *bus, const deadline &limit) {
    // sd-bus would wait for the authentication and the Hello reply on the
    // first call with its own long timeouts (90 s for the authentication); a
    // bus that accepts the connection and then says nothing must not hold
    // kor_on that long.
    int ready = 0;
    const int r = process_until(bus, limit, [&] { return (ready = sd_bus_is_ready(bus)) != 0; });
    return r < 0 ? r : ready < 0 ? ready : 0;
}

int drain(sd_bus *bus) {
    int r;
    while ((r = sd_bus_process(bus, nullptr)) > 0 || r == -EINTR) {
    }
    return transient(r) ? 0 : r;
}

int pending_call::on_reply(sd_bus_message *reply, void *self, sd_bus_error *) {
    static_cast<pending_call *>(self)->reply_.reset(sd_bus_message_ref(reply));
    return 1;
}

int pending_call::send(sd_bus *bus, sd_bus_message *call, const deadline &limit) {
    cancel();
    return sd_bus_call_async(bus, &slot_, call, on_reply, this, limit.usec_left() + kPastTheDeadlineUsec);
}

int pending_call::wait(sd_bus *bus, const deadline &limit) {
    return process_until(bus, limit, [this] { return reply_ != nullptr; });
}

void pending_call::cancel() {
    slot_ = sd_bus_slot_unref(slot_);  // a call still waiting is forgotten by sd-bus
    reply_.reset();
}

namespace {

std::string describe_session_failure(int r) {
    switch (-r) {
    case ETIMEDOUT: return "no answer";
    // No address, no socket, or nobody listening on it.
    case ENOMEDIUM:
    case ENOENT:
    case ECONNREFUSED: return "no session bus";
    default: return std::string("unreachable: ") + std::strerror(-r);
    }
}

}  // namespace

bus_ptr open_session_bus(const deadline &limit, std::string &why) {
    sd_bus *raw = nullptr;
    int r = sd_bus_open_user(&raw);
    bus_ptr bus(raw);
    if (r >= 0) r = wait_until_ready(bus.get(), limit);
    if (r < 0) {
        why = describe_session_failure(r);
        return nullptr;
    }
    return bus;
}

namespace {

int new_call(sd_bus *bus, const method &m, message_ptr &call, const char *types, va_list ap) {
    sd_bus_message *raw = nullptr;
    const int r = sd_bus_message_new_method_call(bus, &raw, m.destination, m.path, m.interface, m.member);
    call.reset(raw);
    return r < 0 ? r : sd_bus_message_appendv(call.get(), types, ap);
}

}  // namespace

int new_method_call(sd_bus *bus, const method &m, message_ptr &call, const char *types, ...) {
    va_list ap;
    va_start(ap, types);
    const int r = new_call(bus, m, call, types, ap);
    va_end(ap);
    return r;
}

int call_method(sd_bus *bus, const deadline &limit, uint64_t per_call_cap, bool auto_start, const method &m,
                bus_error &error, message_ptr &reply, const char *types, ...) {
    message_ptr call;
    va_list ap;
    va_start(ap, types);
    int r = new_call(bus, m, call, types, ap);
    va_end(ap);
    if (r < 0) return r;
    r = sd_bus_message_set_auto_start(call.get(), auto_start ? 1 : 0);
    if (r < 0) return r;
    const deadline call_limit = limit.sooner(per_call_cap);
    pending_call pending;
    r = pending.send(bus, call.get(), call_limit);
    if (r >= 0) r = pending.wait(bus, call_limit);
    if (r < 0) return r;
    reply.reset(sd_bus_message_ref(pending.reply()));
    // As sd_bus_call: an error reply is the error's errno, its name and text
    // in `error`.
    if (const sd_bus_error *e = sd_bus_message_get_error(reply.get())) return sd_bus_error_copy(&error.e, e);
    return 1;
}

int send_method(sd_bus *bus, const method &m, const char *types, ...) {
    message_ptr call;
    va_list ap;
    va_start(ap, types);
    int r = new_call(bus, m, call, types, ap);
    va_end(ap);
    if (r >= 0) r = sd_bus_message_set_auto_start(call.get(), 0);
    if (r >= 0) r = sd_bus_message_set_expect_reply(call.get(), 0);
    return r < 0 ? r : sd_bus_send(bus, call.get(), nullptr);
}

}  // namespace kor_linux
