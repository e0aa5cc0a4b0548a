// The session side of an inhibition (session_side.cpp): the connection the
// desktop's inhibitor lives on, and the thread that follows its services.
#ifndef KOR_LINUX_SESSION_SIDE_H
#define KOR_LINUX_SESSION_SIDE_H

#include "bus.h"
#include "inhibit_request.h"

#include <pthread.h>

#include <memory>
#include <string>

namespace kor_linux {

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

}  // namespace kor_linux

#endif  // KOR_LINUX_SESSION_SIDE_H
