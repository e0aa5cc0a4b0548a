#include "bus.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
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

uint64_t deadline::call_timeout(uint64_t per_call_cap) const {
    const uint64_t now = monotonic_usec();
    const uint64_t left = now < end_ ? end_ - now : 1;
    return left < per_call_cap ? left : per_call_cap;
}

namespace {

// Processes the bus, and waits on it, until `done()` is true (0), the deadline
// passes (-ETIMEDOUT) or the connection fails (its error).
template <typename Done>
int process_until(sd_bus *bus, const deadline &limit, Done done) {
    while (!done()) {
        int r = sd_bus_process(bus, nullptr);
        if (r > 0 || transient(r)) continue;
        if (r < 0) return r;
        if (limit.passed()) return -ETIMEDOUT;
        r = sd_bus_wait(bus, limit.call_timeout(UINT64_MAX));
        if (r < 0 && !transient(r)) return r;
    }
    return 0;
}

}  // namespace

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

int pending_call::send(sd_bus *bus, sd_bus_message *call, const deadline &limit, uint64_t per_call_cap) {
    cancel();
    return sd_bus_call_async(bus, &slot_, call, on_reply, this, limit.call_timeout(per_call_cap));
}

int pending_call::wait(sd_bus *bus, const deadline &limit) {
    // sd-bus turns a call whose own timeout passed into an error reply.
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

int call_method(sd_bus *bus, const deadline &limit, uint64_t per_call_cap, bool auto_start, const char *destination,
                const char *path, const char *interface, const char *member, bus_error &error, message_ptr &reply,
                const char *types, ...) {
    sd_bus_message *raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, destination, path, interface, member);
    message_ptr call(raw);
    if (r < 0) return r;
    va_list ap;
    va_start(ap, types);
    r = sd_bus_message_appendv(call.get(), types, ap);
    va_end(ap);
    if (r < 0) return r;
    r = sd_bus_message_set_auto_start(call.get(), auto_start ? 1 : 0);
    if (r < 0) return r;
    pending_call pending;
    r = pending.send(bus, call.get(), limit, per_call_cap);
    if (r >= 0) r = pending.wait(bus, limit);
    if (r < 0) return r;
    reply.reset(sd_bus_message_ref(pending.reply()));
    // As sd_bus_call: an error reply is the error's errno, its name and text
    // in `error`.
    if (const sd_bus_error *e = sd_bus_message_get_error(reply.get())) return sd_bus_error_copy(&error.e, e);
    return 1;
}

}  // namespace kor_linux
