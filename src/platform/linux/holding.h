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
#ifndef KOR_LINUX_HOLDING_H
#define KOR_LINUX_HOLDING_H

#include "inhibit_request.h"
#include "logind.h"
#include "session_side.h"

#include <memory>
#include <string>

namespace kor_linux {

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

#endif  // KOR_LINUX_HOLDING_H
