// The desktop session's own inhibitors (session.cpp): its services as rows
// of data, tried in order until one holds, and the names they are watched by.
#ifndef KOR_LINUX_SESSION_H
#define KOR_LINUX_SESSION_H

#include "bus.h"
#include "inhibit_request.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kor_linux {

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

}  // namespace kor_linux

#endif  // KOR_LINUX_SESSION_H
