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
// answer the release still holds.
#ifndef KOR_LINUX_BACKENDS_H
#define KOR_LINUX_BACKENDS_H

#include "bus.h"
#include "fd.h"

#include <cstdint>
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

// One Inhibit call on the system-bus connection the layer keeps for the
// process's life. It is sent first and its answer collected last, so that the
// session's services are asked meanwhile and a bus that does not answer costs
// the one budget of the whole kor_on, not a budget of its own.
//
// logind's lock is the fd in its reply, so a reply left unread is a lock held:
// a call that ends without its lock in our hands (no answer in time, a
// connection error, memory running out) closes the kept connection, and
// whatever is still queued on it goes with it. The next call opens a new one.
class logind_inhibit {
public:
    logind_inhibit() = default;
    logind_inhibit(const logind_inhibit &) = delete;
    logind_inhibit &operator=(const logind_inhibit &) = delete;
    ~logind_inhibit();

    // Sends the call; false with `why` set when it could not be sent.
    bool send(const inhibit_request &request, const deadline &limit, std::string &why);
    // Waits for the answer until the deadline. Returns the lock's fd (a
    // close-on-exec copy the caller owns), or -1 with `why` set.
    int collect(const deadline &limit, std::string &why);

private:
    int take_fd(std::string &why);
    bool resend_on_new_connection(const deadline &limit, std::string &why);

    inhibit_request request_;
    pending_call call_;
    bool sent_ = false;
    bool settled_ = false;  // answered, and nothing of it is left on the connection
    bool resent_ = false;
};

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
void session_release(sd_bus *session, session_hold &hold);

// Inside a Flatpak sandbox only the portal is reachable. Tests point the
// check at a file of their own; null restores "/.flatpak-info".
void set_sandbox_marker_for_tests(const char *path);

void append_failure(std::string &failures, const std::string &name, const std::string &why);

// --- Everything one inhibition holds (backends.cpp) -----------------------------

// Destroying it releases what it holds, so a half-taken inhibition is never
// leaked.
class holding {
public:
    holding() = default;
    holding(const holding &) = delete;
    holding &operator=(const holding &) = delete;
    ~holding() { release(); }

    // Takes the logind lock and the first session service that holds. True
    // when at least one holds; `names` lists the holders joined by '+'.
    // Otherwise false, with `failures` naming each mechanism tried and why it
    // failed, logind first. The whole call waits at most one budget.
    bool acquire(const inhibit_request &request, std::string &names, std::string &failures);
    void release();
    // False once nothing holds any more: the host has closed a descriptor a
    // holder lives in (the lock's, or the session connection's, whose
    // inhibitor the service then drops), or every holder has gone. A session
    // service that exited is forgotten and, once a service takes its name
    // again, asked anew; `changed` is set when the holders changed.
    bool refresh(bool &changed);
    // The holders, joined by '+' ("logind+gnome-session").
    std::string names() const;
    // In a forked child: closes the child's copies of the lock and of the
    // session connection, so that what the parent holds ends when the parent
    // lets go, and forgets them.
    void forget_in_child();

private:
    void follow_session_services(bool &changed);

    inhibit_request request_;
    owned_fd logind_fd_;  // the lock lives as long as this fd
    bus_ptr session_;
    fd_identity session_fd_;
    session_hold session_hold_;
    name_events name_events_;
};

}  // namespace kor_linux

#endif  // KOR_LINUX_BACKENDS_H
