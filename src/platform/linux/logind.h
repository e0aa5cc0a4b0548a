// systemd-logind's "block" locks (logind.cpp), which every Linux system
// honours for suspend whatever desktop runs, or none.
#ifndef KOR_LINUX_LOGIND_H
#define KOR_LINUX_LOGIND_H

#include "bus.h"
#include "fd.h"
#include "inhibit_request.h"

#include <string>

namespace kor_linux {

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

}  // namespace kor_linux

#endif  // KOR_LINUX_LOGIND_H
