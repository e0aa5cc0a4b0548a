// The contract between the core and the operating system.
//
// Each platform provides these six functions in one source file, chosen by the
// build (kor_posix.cpp on Linux, kor_win.cpp on Windows); the core never calls
// the operating system itself. None of them throws.
#ifndef KOR_PLATFORM_H
#define KOR_PLATFORM_H

#include <cstddef>
#include <cstdint>

// A short lowercase name of the platform ("linux", "windows"), static text.
// Called by kor_status without the core's lock, so it must be safe on any
// thread. A null result leaves the "platform" member out of the status.
const char *kor_plat_name();

// Milliseconds of a clock that never goes back and ignores changes of the
// wall clock. Only differences are used. Safe on any thread (the watcher calls
// it without the core's lock).
int64_t kor_now_ms();

// Takes the sleep inhibition: until kor_plat_inhibit_off the system does not
// sleep on idle and, when keep_display is non-zero, the display stays on.
// `reason` is the activation's name (valid UTF-8, may be empty), shown by the
// system to people who ask why the machine stays awake. On success writes the
// mechanism's name into `mechanism` (cut to capacity - 1 bytes; skipped when
// it is null or capacity is 0) and returns 0. On failure sets one message with
// kor_set_error, holds nothing, and returns -1.
// Called only with the core's lock held.
int kor_plat_inhibit_on(int keep_display, const char *reason, char *mechanism,
                        size_t capacity);

// Ends the inhibition taken by kor_plat_inhibit_on; does nothing when none is
// held. The inhibition belongs to the library, not to a thread: it holds until
// this call, from whichever thread it comes (a host thread or the watcher).
// Called only with the core's lock held.
void kor_plat_inhibit_off();

// 1 when a process with this id exists and has not ended (a process that has
// exited but is not yet reaped has ended); 0 for pid <= 0 or when its state
// cannot be read. Safe on any thread (the watcher calls it without the lock).
int kor_plat_pid_alive(int pid);

// The id of the first running process (ascending id order on Linux, snapshot
// order on Windows) whose executable file name matches `name`, or -1 when
// `name` is null or empty, the process list cannot be read, or none matches.
// A name without ".exe" also matches an executable called name + ".exe".
// Called with the core's lock held.
int kor_plat_find_process(const char *name);

// Reports a failure: formats into the library's error text, cut at 511 bytes.
// Provided by the core.
void kor_set_error(const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif // KOR_PLATFORM_H
