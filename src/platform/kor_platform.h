// The contract between the core and the operating system.
//
// Each platform provides these functions in a folder of its own, chosen by
// the build (linux/ or windows/); the core never calls the operating system
// itself. None of them throws: each catches inside and reports failure by its
// result.
#ifndef KOR_PLATFORM_H
#define KOR_PLATFORM_H

#include <cstddef>
#include <cstdint>

// A short lowercase name of the platform ("linux", "windows"), static text.
// Called by kor_status without the core's lock, so it must be safe on any
// thread. A null result leaves the "platform" member out of the status.
const char *kor_plat_name() noexcept;

// Milliseconds of a clock that never goes back, ignores changes of the wall
// clock and keeps counting while the machine sleeps. Only differences are
// used, and deadlines handed to kor_plat_watch_wait. Safe on any thread.
int64_t kor_now_ms() noexcept;

// What an activation asks of the platform. The next option an activation
// gains becomes a member here, not one more argument.
struct kor_plat_request {
    int keep_display = 0;        // non-zero: the display stays on as well
    const char *reason = "";     // the activation's name; may be empty, may hold any bytes
    const char *app = "";        // who asks, as the system shows it; empty: the host program
};

// Takes the sleep inhibition: until kor_plat_inhibit_off the system does not
// sleep on idle and, when request.keep_display is non-zero, the display stays
// on. `reason` is shown by the system to people who ask why the machine stays
// awake, `app` as the program that asks (a layer whose system shows neither
// ignores them; null reads as empty). On success writes the mechanism's name
// into `mechanism` (cut to capacity - 1 bytes; skipped when it is null or
// capacity is 0) and returns 0. On failure sets one message with
// kor_set_error, holds nothing, and returns -1. Called only with the core's
// lock held.
int kor_plat_inhibit_on(const kor_plat_request &request, char *mechanism, size_t capacity) noexcept;

// Looks again at what holds the inhibition taken by kor_plat_inhibit_on:
// returns 1 while something still holds it, writing into `mechanism` (as
// kor_plat_inhibit_on does) the holders of now when they have changed (a
// desktop service that exited is no longer named; its successor, asked
// again, is) and leaving it untouched otherwise; 0 once nothing holds any
// more (a descriptor the host closed behind the library's back, every holder
// gone). Called by kor_status, only with the core's lock held.
int kor_plat_inhibit_refresh(char *mechanism, size_t capacity) noexcept;

// Ends the inhibition taken by kor_plat_inhibit_on; does nothing when none is
// held. The inhibition belongs to the library, not to a thread: it holds until
// this call, from whichever thread it comes (a host thread or the watcher).
// Called only with the core's lock held.
void kor_plat_inhibit_off() noexcept;

// The id of the first running process (ascending id order on Linux, snapshot
// order on Windows) whose executable file name matches `name`, or -1 when
// `name` is null or empty, the process list cannot be read, or none matches.
// A name without ".exe" also matches an executable called name + ".exe".
// Called with the core's lock held.
int kor_plat_find_process(const char *name) noexcept;

// --- Watching an activation ---------------------------------------------------
//
// The watcher thread of a timed or process-bound activation blocks in
// kor_plat_watch_wait until the first of three events: a stop request, the
// deadline, or the end of the watched process. It wakes for nothing else.

struct kor_plat_watch;

enum kor_plat_watch_open_result {
    KOR_WATCH_OPENED = 0,
    KOR_WATCH_PROCESS_NOT_ALIVE = 1,  // no message set: the core words it
    KOR_WATCH_FAILED = -1,            // a message is set with kor_set_error
};

// Opens the watch of one activation. With pid > 0 it pins the process that
// has this id now, so that an id the system later hands to another process
// never counts as the same process; a process that does not exist or has
// ended (a zombie included) is not alive. Called by kor_on with the core's
// lock held; `*out` is set only when the result is KOR_WATCH_OPENED.
int kor_plat_watch_open(int pid, kor_plat_watch **out) noexcept;

enum kor_plat_watch_event {
    KOR_WATCH_STOPPED,
    KOR_WATCH_DEADLINE,
    KOR_WATCH_PROCESS_ENDED,
    KOR_WATCH_BROKEN,  // what the watch waits on was taken away (the host closed it)
};

// Blocks until kor_plat_watch_stop was called, kor_now_ms() reaches
// deadline_ms (when it is above 0), or the pinned process has ended (when
// one was pinned). Time the machine spends asleep counts towards the
// deadline. Called only by the watcher thread, without the core's lock.
kor_plat_watch_event kor_plat_watch_wait(kor_plat_watch *watch, int64_t deadline_ms) noexcept;

// Makes the current and every later kor_plat_watch_wait on this watch return
// KOR_WATCH_STOPPED. Any thread, any number of times, until the watch is
// closed. False when the wake-up cannot be delivered (the host has closed
// what it travels through): a waiter then returns only at its deadline or
// when its process ends.
bool kor_plat_watch_stop(kor_plat_watch *watch) noexcept;

// Releases the watch (null is ignored). Called once no thread waits on it.
void kor_plat_watch_close(kor_plat_watch *watch) noexcept;

// A watch owned by the code that opened it.
struct kor_plat_watch_closer {
    void operator()(kor_plat_watch *w) const noexcept { kor_plat_watch_close(w); }
};

// In a child forked while the library was in use: forgets the activation
// without touching what the parent holds (a forked child inherits no
// activation, as it inherits no record lock). Provided by the core, called by
// a platform where processes fork, in the child, before anything else runs.
void kor_forget_after_fork() noexcept;

// Around a fork, provided by the core and registered by the platform as the
// prepare and parent handlers: the fork waits until no other thread is in
// the middle of the library, so a child never inherits what is half-taken.
void kor_fork_prepare() noexcept;
void kor_fork_parent() noexcept;

// Reports a failure: formats into the library's error text, cut at 511 bytes.
// Provided by the core.
void kor_set_error(const char *fmt, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif  // KOR_PLATFORM_H
