// The session side of an inhibition: the connection the desktop's inhibitor
// lives on, and the thread that follows the services' names while it lasts.
//
// The thread sleeps in epoll until the session bus sends something (a
// NameOwnerChanged of a watched name), so it costs no wake-ups. epoll holds
// no reference to the socket: a host that closes it behind our back ends the
// connection, and the service drops our inhibitor, as it would without the
// thread.
#include "session_side.h"

#include "fd.h"
#include "session.h"
#include "text.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace kor_linux {

namespace {

// Asking again runs on the thread, which nobody waits for; kor_off stops it
// in the middle of a call.
constexpr uint64_t kRetakeBudgetUsec = 1000u * 1000u;

// What woke the thread.
enum : uint32_t { kBusReadable = 1, kStopRequested = 2 };

}  // namespace

struct session_side::state {
    inhibit_request request;
    bus_ptr bus;
    fd_identity bus_fd;
    session_hold hold;
    name_events events;
    owned_fd wake;                              // an eventfd, written to stop the thread
    owned_fd epoll;                             // what the thread sleeps in: the bus's socket and `wake`
    std::atomic<const char *> holder{nullptr};  // hold.name, for kor_status on another thread
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};  // the thread has ended by itself (the bus has gone)
    std::atomic<int> users{1};          // the session_side, and the thread while it runs

    state() = default;
    state(const state &) = delete;
    state &operator=(const state &) = delete;
    ~state() {
        // A socket the host has closed may carry a file of the host's by now:
        // sd-bus must not close that number. (After a failure sd-bus has
        // closed it itself, and holds none.)
        if (bus && sd_bus_get_fd(bus.get()) >= 0 && !bus_fd.still_open()) abandon_connection(bus.release());
    }
};

namespace {

using state = session_side::state;

// Reads what the bus has said and acts on it: a holder whose name's owner let
// go has dropped ours and is forgotten; while none holds, the services are
// asked again once a name changed hands. False once the bus has gone, and
// every inhibitor with it.
bool follow_services(state &s, int wake_fd) {
    if (drain(s.bus.get()) < 0) {
        s.hold = session_hold{};
        s.holder.store(nullptr);
        return false;
    }
    const name_news news = read_name_events(s.events, s.hold);
    if (news.hold_lost) s.hold = session_hold{};
    if (s.hold.name == nullptr && (news.hold_lost || news.name_taken)) {
        std::string failures;
        session_acquire(s.bus.get(), deadline(kRetakeBudgetUsec, wake_fd), s.request, s.hold, failures);
    }
    s.holder.store(s.hold.name);
    return true;
}

// Sleeps until the bus has something for us. False when asked to stop, or
// when waiting is no longer possible.
bool wait_for_news(state &s) {
    sd_bus *bus = s.bus.get();
    uint64_t timer = UINT64_MAX;
    const int events = sd_bus_get_events(bus);
    if (events < 0 || sd_bus_get_timeout(bus, &timer) < 0) return false;
    if (timer != UINT64_MAX || (events & POLLOUT)) {
        // sd-bus has work of its own soon (a call's timeout, messages in
        // hand, something to write): a wait it bounds.
        const int r = wait_on_bus(bus, s.wake.get(), UINT64_MAX);
        return r == 0 || transient(r);
    }
    // A number the host has closed and used again may be an epoll of its own,
    // whose events a wait here would take from it.
    if (!s.epoll.still_ours()) return false;
    epoll_event woke[2];
    const int n = epoll_wait(s.epoll.get(), woke, 2, -1);
    if (n < 0) return errno == EINTR;
    for (int i = 0; i < n; ++i)
        if (woke[i].data.u32 == kStopRequested) return false;
    return true;
}

void *follow_main(void *arg) {
    state &s = *static_cast<state *>(arg);
    try {
        // Once the host has closed the socket behind our back, what is read
        // there would be the host's.
        while (wait_for_news(s) && !s.stop.load() && s.bus_fd.still_open()) {
            if (!follow_services(s, s.wake.get())) break;
        }
    } catch (...) {
        // Out of memory: following ends; what holds still holds.
    }
    s.finished.store(true);
    session_side::state_releaser()(&s);
    return nullptr;
}

bool add_to_epoll(int epoll_fd, int fd, uint32_t what) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u32 = what;
    return epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &e) == 0;
}

}  // namespace

void session_side::state_releaser::operator()(state *s) const {
    // Without std::shared_ptr, whose count reads a glibc 2.32 symbol.
    if (s->users.fetch_sub(1, std::memory_order_acq_rel) == 1) delete s;
}

const char *session_side::acquire(const inhibit_request &request, const deadline &limit, std::string &failures) {
    release();
    std::string why;
    bus_ptr bus = open_session_bus(limit, why);
    if (!bus) {
        append_failure(failures, "session bus", why);
        return nullptr;
    }
    std::unique_ptr<state, state_releaser> s(new state);
    s->request = request;
    s->bus_fd = fd_identity::of(sd_bus_get_fd(bus.get()));
    s->bus = std::move(bus);
    // The subscriptions go out before the calls, so the bus reports every
    // change that follows them.
    session_watch_names(s->bus.get(), request, s->events);
    session_acquire(s->bus.get(), limit, request, s->hold, failures);
    s->holder.store(s->hold.name);
    state_ = std::move(s);
    return state_->hold.name;
}

void session_side::start_following() {
    if (!state_ || following_) return;
    state &s = *state_;
    s.wake = owned_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    s.epoll = owned_fd(epoll_create1(EPOLL_CLOEXEC));
    if (!s.wake.valid() || !s.epoll.valid() || !add_to_epoll(s.epoll.get(), s.bus_fd.fd, kBusReadable) ||
        !add_to_epoll(s.epoll.get(), s.wake.get(), kStopRequested)) {
        status_follows_ = true;
        return;
    }
    // The host's signals are for the host's threads. (sigprocmask sets the
    // calling thread's mask on Linux, as pthread_sigmask, whose version in
    // glibc 2.32 and later the library must not need.)
    sigset_t all, saved;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &saved);
    s.users.fetch_add(1, std::memory_order_relaxed);
    const int e = pthread_create(&thread_, nullptr, follow_main, &s);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (e != 0) {
        s.users.fetch_sub(1, std::memory_order_relaxed);
        status_follows_ = true;  // no thread could be had
        return;
    }
    following_ = true;
}

bool session_side::socket_still_ours() {
    if (state_ && !socket_lost_ && !state_->bus_fd.still_open()) socket_lost_ = true;
    return !socket_lost_;
}

const char *session_side::holder() {
    if (!state_ || socket_lost_) return nullptr;
    if (following_ && state_->finished.load()) {
        pthread_join(thread_, nullptr);  // ended with the bus: nothing is left to follow
        following_ = false;
    }
    if (status_follows_ && state_->bus_fd.still_open()) follow_services(*state_, -1);
    return state_->holder.load();
}

void session_side::stop_following() {
    if (!following_) return;
    state_->stop.store(true);
    if (!state_->wake.still_ours() || eventfd_write(state_->wake.get(), 1) != 0) {
        // The host has closed the wake-up's descriptor: the thread may sleep
        // for good. It keeps the state; should it wake, it leaves without
        // touching the bus, and the connection closes with the state.
        pthread_detach(thread_);
        state_.reset();
    } else {
        pthread_join(thread_, nullptr);
    }
    following_ = false;
}

void session_side::release() {
    stop_following();
    if (!state_) return;
    if (state_->bus_fd.still_open()) session_release(state_->bus.get(), state_->hold);
    state_.reset();  // closes the connection, which ends whatever is left on it
}

void session_side::forget_in_child() {
    if (!state_) return;
    state_->bus_fd.close_if_same();
    state_->wake.reset();
    state_->epoll.reset();
    following_ = false;  // the thread was not copied; the rest is the parent's, left alone
}

}  // namespace kor_linux
