// A scripted platform layer for the core's tests: the core is linked against
// these six functions instead of the real ones, so a test decides what the
// clock reads, which processes live, whether the inhibition is granted, and
// watches every inhibition the core takes and releases.
//
// Every control and observer is safe on any thread: the watcher thread calls
// the clock and the liveness test while the test thread scripts them.
#ifndef KORVEL_FAKE_PLATFORM_H
#define KORVEL_FAKE_PLATFORM_H

#include <cstdint>
#include <string>
#include <vector>

namespace fake {

// The clock starts here, well away from 0: the core treats a deadline of 0 as
// "no deadline".
constexpr int64_t kStartMs = 1000000;

// Back to the initial script: clock at kStartMs, platform "fakeos", mechanism
// "fake-inhibitor", inhibition granted, no processes, counters zero, nothing
// held, no clock offset on the calling thread. Call it only while no
// activation is in force.
void reset();

// --- The clock: frozen, moved only by the test -----------------------------
void set_now(int64_t ms);
void advance(int64_t ms);
int64_t now();
// An offset added only to what the calling thread reads. Lets a test look past
// a deadline the watcher thread does not see yet.
void set_thread_clock_offset(int64_t ms);

// --- Processes --------------------------------------------------------------
// A pid that is made alive again after it ended is a new process: a watch
// that pinned the old one has seen it end.
void set_alive(int pid, bool alive);
// kor_plat_find_process(name) answers `pid` (does not make it alive), and so
// does a name without ".exe" when `name` ends in it; -1 makes it answer none.
void add_process(const std::string &name, int pid);

// --- The inhibition -----------------------------------------------------------
// Refuse every kor_plat_inhibit_on with `message` (given to kor_set_error).
void refuse_inhibition(const std::string &message);
void grant_inhibition();
// The text reported as mechanism; "" reports none.
void set_mechanism(const std::string &text);
// The platform name; nullptr makes kor_plat_name return null.
void set_platform_name(const char *name);

// --- Watches ------------------------------------------------------------------
// kor_plat_watch_stop returns false, as when the host has closed what the
// wake-up travels through: the core must leave the watcher to end by itself.
void refuse_stop(bool refuse);

// --- Calls held inside the platform ----------------------------------------------
// The next call of `function` ("kor_plat_inhibit_on", "kor_plat_inhibit_off"
// or "kor_plat_inhibit_refresh") waits inside the platform, with the core's
// lock held by its caller, until unpark().
void park_next(const std::string &function);
bool parked();
void unpark();

// --- Observation ---------------------------------------------------------------
struct snapshot {
    bool held = false;
    int on_calls = 0;   // every kor_plat_inhibit_on, granted or not
    int granted = 0;    // inhibitions taken
    int off_calls = 0;  // every kor_plat_inhibit_off
    int released = 0;   // kor_plat_inhibit_off calls that ended one
    int last_keep_display = -1;
    std::string last_reason;
    std::string last_app;
    bool double_hold = false;  // on was called while one was already held
    int watches_opened = 0;    // watches kor_plat_watch_open handed out
    int watches_closed = 0;
    // Watches a watcher thread closed itself (it was left to end by itself)
    // while it could still be joined: nobody would ever free the thread.
    int closed_by_undetached_watcher = 0;
    std::string last_find_name;
    // "on" and "off" for each inhibition taken and released, in order.
    std::vector<std::string> events;
};
snapshot observe();

}  // namespace fake

#endif  // KORVEL_FAKE_PLATFORM_H
