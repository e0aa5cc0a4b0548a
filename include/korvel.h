/*
 * korvel: keep the machine awake while a host program needs it.
 *
 * The library exports exactly five plain C functions. A host loads
 * brenvic-korvel-sleep-blocker.so (Linux) or brenvic-korvel-sleep-blocker.dll
 * (Windows) and calls them from any language with a C FFI.
 *
 * At most one activation exists per process. While it is in force the library
 * holds the operating system's own sleep inhibition; timed and process-bound
 * activations are ended by a watcher thread inside the library.
 *
 * Threads: every function may be called from any thread at any time; calls are
 * serialised inside the library. The last failure's message is one for the
 * whole process: a host calling from several threads at once may read
 * another thread's message, but always a whole one.
 *
 * Fork: like a POSIX record lock, an activation is not inherited by a child
 * forked without exec. In the child the library starts with no activation
 * (and may take one of its own); the parent's kor_off, timed end or exit
 * frees the machine whatever its children do.
 *
 * Descriptors: the library closes and writes to only the descriptors it
 * opened. A host that closes them behind its back (as daemonizing code
 * closing every descriptor does) loses the inhibition; the next kor_status
 * then reports the activation as ended.
 */
#ifndef KORVEL_H
#define KORVEL_H

#define KORVEL_VERSION_MAJOR 0
#define KORVEL_VERSION_MINOR 1
#define KORVEL_VERSION_PATCH 0

#if defined(_WIN32)
#if defined(KORVEL_BUILDING)
#define KORVEL_API __declspec(dllexport)
#else
#define KORVEL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define KORVEL_API __attribute__((visibility("default")))
#else
#define KORVEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Starts an activation, first ending the one in force (a refused call leaves
 * none in force).
 *
 * options_json: NULL or "" for an indefinite activation; otherwise a JSON
 * object, for example
 *   {"mode":"minutes","minutes":30,"keep_display":true,"name":"backup"}
 * with "mode" one of "indefinite", "minutes" (with "minutes" > 0 or
 * "seconds" >= 0), "while_pid" (with "pid") or "while_process" (with "name",
 * the executable's file name). The text is only read during the call.
 *
 * Returns 1 when the activation started, 0 when not; the reason is then in
 * kor_last_error(). Thread-safe.
 */
KORVEL_API int kor_on(const char *options_json);

/*
 * Ends the activation in force, if any, and releases the sleep inhibition.
 * Idempotent. Empties the error text. Always returns 1. Thread-safe.
 * Call it before unloading the library.
 */
KORVEL_API int kor_off(void);

/*
 * Returns the state as a compact JSON object, members in this order:
 *   "active" (0 or 1), "mode" ("none", "indefinite", "minutes", "while_pid",
 *   "while_process"), "remaining_s" (whole seconds left of a timed
 *   activation, rounded up; else 0), "keep_display" (0 or 1), "platform",
 *   "mechanism" (what holds the inhibition, "none" when inactive), "pid",
 *   "name".
 * The text belongs to the caller, who releases it with kor_free_string().
 * Returns NULL on failure, with the reason in kor_last_error().
 * Reports only what holds now: an activation whose inhibition was taken away
 * (the host closed its descriptor, every holder has gone) ends here and is
 * reported inactive; a desktop service that exited is no longer named in
 * "mechanism". Does not empty the error text. Thread-safe.
 */
KORVEL_API char *kor_status(void);

/*
 * Returns the message of the last failure, or "" when there is none; never
 * NULL. The text is a copy made for the calling thread: no other thread's
 * call changes it. It stays valid until the same thread calls
 * kor_last_error again, or ends. It belongs to the library: do not free it.
 * (When memory ran out before a thread's first call, its copy is one shared
 * with every other such thread.) Messages are safe to print on a terminal.
 */
KORVEL_API const char *kor_last_error(void);

/*
 * Releases a text returned by kor_status(). NULL is accepted and ignored.
 * Thread-safe.
 */
KORVEL_API void kor_free_string(void *text);

#ifdef __cplusplus
}
#endif

#endif /* KORVEL_H */
