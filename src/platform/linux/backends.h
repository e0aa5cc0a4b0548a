// The Linux layer's inhibition: systemd-logind's lock, plus the desktop
// session's own inhibitor.
//
// logind's "block" lock stops suspend on every Linux system, but on a desktop
// the session's own power manager decides idle suspend, blanking and locking,
// and listens only to its own inhibitors. So an inhibition is the logind lock
// plus the first session service that takes ours; each holder is named in
// the mechanism text ("logind+gnome-session").
//
// The session services are rows of data (session.cpp), tried in order until
// one holds; the portal, which answers with a request object rather than a
// cookie, has code of its own.
//
// Session inhibitors die with the D-Bus connection that took them: the layer
// keeps that connection open for as long as the inhibition lasts and closes
// it after the release, which also ends whatever a service that did not
// answer the release still holds. No release waits for a service.
#ifndef KOR_LINUX_BACKENDS_H
#define KOR_LINUX_BACKENDS_H

#include "bus.h"
#include "fd.h"

#include <pthread.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kor_linux {

// What every service is told. Neither text is empty: some services refuse
// empty ones.
struct inhibit_request {
    bool keep_display = false;
    std::string app_id;  // the host program's name
    std::string reason;  // the activation's name, or a default sentence
};

// --- systemd-logind (logind.cpp) ---------------------------------------------

// logind's locks of one inhibition: "sleep", and "idle" too while the display
// stays on. Each lives as long as its fd.
struct logind_locks {
    owned_fd fds[2];
    bool held() const { return fds[0].valid(); }
    // Every lock's fd still refers to its lock: the host has closed none of
    // them behind our back.
    bool still_ours() const;
    void reset();
};

// Asks logind for the locks the request needs, all at once, on the
// system-bus connection the layer keeps for the process's life, and waits
// for every answer until the deadline. True with every lock in `locks`;
// otherwise false with `why` set, holding none.
//
// logind's lock is the fd in its reply, so a reply left unread is a lock
// held: a call that ends without its lock in our hands (no answer in time, a
// connection error, memory running out) closes the kept connection, and
// whatever is still queued on it goes with it. The next call opens a new one.
bool logind_acquire(const inhibit_request &request, const deadline &limit, logind_locks &locks, std::string &why);

// In a forked child: closes the child's copy of the kept connection and
// forgets it, without a word on it (it is the parent's).
void forget_system_bus_in_child();

// --- The session's services (session.cpp) --------------------------------------

struct session_service;  // a row of the table

// What the session side holds: nothing, a service's cookie, or the portal's
// request.
struct session_hold {
    const session_service *service = nullptr;  // null: the portal, when `path` is set
    uint32_t cookie = 0;                       // 0 is a valid cookie (xssproxy counts from 0)
    std::string path;                          // the object the cookie belongs to, or the portal's request
    const char *name = nullptr;                // as the mechanism text names it
    const char *bus_name = nullptr;            // the well-known name it was asked by
    std::string owner;                         // the connection that answered: the hold dies with it
};

// What the session bus has said about the services' names: each
// NameOwnerChanged since it was last read, as (name, old owner, new owner).
struct name_events {
    struct change {
        std::string name, old_owner, new_owner;
    };
    std::vector<change> changes;
    bool missed = false;  // a change could not be recorded (out of memory): assume anything
};

// Subscribes, without waiting, to the owner changes of every service name the
// request may be held by. The subscriptions go out before the Inhibit calls,
// so the bus reports every change that follows them; they end with the
// connection.
void session_watch_names(sd_bus *session, const inhibit_request &request, name_events &events);

// Asks the session's services in order until one holds. True with `hold`
// filled; otherwise false, with each service tried and why it failed added
// to `failures`.
bool session_acquire(sd_bus *session, const deadline &limit, const inhibit_request &request, session_hold &hold,
                     std::string &failures);
// Tells the service to let go, without waiting for its answer: the
// connection's close, which follows, ends the hold in any case.
void session_release(sd_bus *session, session_hold &hold);

// Whether the names' changes cost `hold` its holder (its name's owner let go
// of it), and whether a service name gained an owner that may be asked.
// Empties `events`.
struct name_news {
    bool hold_lost = false;
    bool name_taken = false;
};
name_news read_name_events(name_events &events, const session_hold &hold);

// Inside a Flatpak sandbox only the portal is reachable. Tests point the
// check at a file of their own; null restores "/.flatpak-info".
void set_sandbox_marker_for_tests(const char *path);

void append_failure(std::string &failures, const std::string &name, const std::string &why);

// --- The session side of an inhibition (session_side.cpp) ----------------------

// The session connection an inhibition keeps, what holds on it, and a thread
// that follows the services' names for as long as the inhibition lasts: a
// service that exits is forgotten, and when one takes a watched name (a
// successor, or a service that was not there yet) they are asked again at
// once, whether the host ever calls kor_status or not. The thread sleeps
// until the session bus sends something.
class session_side {
public:
    session_side() = default;
    session_side(const session_side &) = delete;
    session_side &operator=(const session_side &) = delete;
    ~session_side() { release(); }

    // Opens the session bus and asks its services, within the deadline. The
    // connection is kept whenever the bus answered, holding or not (a
    // service may come later). Returns the holder, as the mechanism text
    // names it; otherwise null, with what was tried and why it failed added
    // to `failures`.
    const char *acquire(const inhibit_request &request, const deadline &limit, std::string &failures);
    bool connected() const { return state_ != nullptr; }
    // Starts following the services' names; where no thread can be had,
    // holder() follows them instead, on kor_status's thread.
    void start_following();
    // False once the host has closed the connection's socket behind our back
    // (the service then dropped our inhibitor); from then on none holds.
    bool socket_still_ours();
    // The holder now, as the mechanism text names it, or null; joins a thread
    // that has ended with the bus. Called under the core's lock.
    const char *holder();
    // Stops the thread, tells the holder to let go without waiting for it,
    // and closes the connection.
    void release();
    // In a forked child: closes the child's copies of the connection's and
    // the thread's descriptors (the thread itself was not copied).
    void forget_in_child();

    struct state;  // shared with the thread
    // Lets go of a state; the last of its users frees it.
    struct state_releaser {
        void operator()(state *s) const;
    };

private:
    void stop_following();

    std::unique_ptr<state, state_releaser> state_;
    pthread_t thread_{};
    bool following_ = false;       // the thread runs, or has ended and waits to be joined
    bool status_follows_ = false;  // no thread could be had: holder() follows instead
    bool socket_lost_ = false;
};

// --- Everything one inhibition holds (backends.cpp) -----------------------------

// Destroying it releases what it holds, so a half-taken inhibition is never
// leaked.
class holding {
public:
    holding() = default;
    holding(const holding &) = delete;
    holding &operator=(const holding &) = delete;
    ~holding() { release(); }

    // Takes logind's locks first, on a budget of their own, then the first
    // session service that holds, on one of its own: a session side that
    // hangs costs kor_on that much and never logind's grant. True when at
    // least one holds; `names` lists the holders joined by '+'. Otherwise
    // false, with `failures` naming each mechanism tried and why it failed,
    // logind first.
    bool acquire(const inhibit_request &request, std::string &names, std::string &failures);
    void release();
    // False once nothing holds any more: the host has closed a lock's
    // descriptor behind the library's back, or every holder has gone. A
    // session service that exited is no longer named, a successor that took
    // ours is; `changed` is set when the holders changed.
    bool refresh(bool &changed);
    // The holders, joined by '+' ("logind+gnome-session").
    std::string names() const;
    // In a forked child: closes the child's copies of the locks and of the
    // session side's descriptors, so that what the parent holds ends when
    // the parent lets go. The object is left for the child to forget.
    void forget_in_child();

private:
    bool descriptors_still_ours();

    logind_locks logind_;
    std::unique_ptr<session_side> session_;
    const char *desktop_ = nullptr;  // the session's holder, as last named
};

}  // namespace kor_linux

#endif  // KOR_LINUX_BACKENDS_H
